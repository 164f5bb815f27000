#include "imaging/codecs/common/subprocess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

#include "imaging/error.h"

namespace rastel::imaging {

namespace {

// Only async-signal-safe calls between fork and exec: the parent may have
// other threads holding locks.
[[noreturn]] void childFail(int reportFd) {
    const int e = errno;
    ssize_t ignored = write(reportFd, &e, sizeof e);
    (void)ignored;
    _exit(127);
}

int openOrNull(const std::string& path, int flags) {
    return open(path.empty() ? "/dev/null" : path.c_str(), flags | O_CLOEXEC, 0600);
}

}  // namespace

SubprocessResult runSubprocess(const SubprocessOptions& opt, const std::string& format) {
    // Everything the child needs is prepared before fork.
    std::vector<std::string> argStore;
    argStore.push_back(opt.program);
    argStore.insert(argStore.end(), opt.args.begin(), opt.args.end());
    std::vector<char*> argv;
    for (auto& a : argStore) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> envStore = opt.env;
    std::vector<char*> envp;
    for (auto& e : envStore) envp.push_back(e.data());
    envp.push_back(nullptr);

    const int inFd = openOrNull(opt.stdinPath, O_RDONLY);
    const int outFd = opt.outputPath.empty()
                          ? openOrNull("", O_WRONLY)
                          : open(opt.outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    int report[2] = {-1, -1};
    if (inFd < 0 || outFd < 0 || pipe2(report, O_CLOEXEC) != 0) {
        const int e = errno;
        for (int fd : {inFd, outFd, report[0], report[1]})
            if (fd >= 0) close(fd);
        fail(format, std::string("cannot prepare the helper process: ") + std::strerror(e));
    }

    const pid_t pid = fork();
    if (pid < 0) {
        const int e = errno;
        for (int fd : {inFd, outFd, report[0], report[1]}) close(fd);
        fail(format, std::string("cannot start the helper process: ") + std::strerror(e));
    }
    if (pid == 0) {
        setpgid(0, 0);
        if (opt.maxFileBytes > 0) {
            struct rlimit lim;
            lim.rlim_cur = lim.rlim_max = opt.maxFileBytes;
            if (setrlimit(RLIMIT_FSIZE, &lim) != 0) childFail(report[1]);
        }
        struct rlimit noCore {
            0, 0
        };
        setrlimit(RLIMIT_CORE, &noCore);
        if (dup2(inFd, 0) < 0 || dup2(outFd, 1) < 0 || dup2(outFd, 2) < 0) childFail(report[1]);
        if (!opt.workDir.empty() && chdir(opt.workDir.c_str()) != 0) childFail(report[1]);
        // Default signal handling for the delegate; descriptors other than
        // 0..2 and the report pipe are close-on-exec or closed here.
        signal(SIGPIPE, SIG_DFL);
        signal(SIGXFSZ, SIG_DFL);
        for (int fd = 3; fd < 1024; ++fd)
            if (fd != report[1]) close(fd);
        execve(argv[0], argv.data(), envp.data());
        childFail(report[1]);
    }
    setpgid(pid, pid);  // also from the parent, so the group exists before any kill
    for (int fd : {inFd, outFd, report[1]}) close(fd);

    SubprocessResult result;
    int childErrno = 0;
    const ssize_t n = read(report[0], &childErrno, sizeof childErrno);
    close(report[0]);
    result.started = n != static_cast<ssize_t>(sizeof childErrno);

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(opt.timeoutSeconds);
    int status = 0;
    for (;;) {
        const pid_t w = waitpid(pid, &status, WNOHANG);
        if (w == pid) break;
        if (w < 0 && errno != EINTR) break;
        if (std::chrono::steady_clock::now() >= deadline) {
            result.timedOut = true;
            kill(-pid, SIGKILL);
            kill(pid, SIGKILL);
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    kill(-pid, SIGKILL);  // anything the delegate left behind in its group
    if (!result.timedOut) {
        if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
        if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    } else {
        result.signal = SIGKILL;
    }
    return result;
}

std::string findExecutable(const std::string& name, const std::string& searchPath) {
    std::size_t start = 0;
    while (start <= searchPath.size()) {
        std::size_t end = searchPath.find(':', start);
        if (end == std::string::npos) end = searchPath.size();
        const std::string dir = searchPath.substr(start, end - start);
        if (!dir.empty() && dir[0] == '/') {
            const std::string candidate = dir + "/" + name;
            struct stat st;
            if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(candidate.c_str(), X_OK) == 0)
                return candidate;
        }
        start = end + 1;
    }
    return {};
}

PrivateTempDir::PrivateTempDir(const std::string& format) : format_(format) {
    std::error_code ec;
    std::string base = std::filesystem::temp_directory_path(ec).string();
    if (ec || base.empty()) base = "/tmp";
    std::string templ = base + "/rastel-XXXXXX";
    if (!mkdtemp(templ.data())) fail(format, std::string("cannot create a temporary folder: ") + std::strerror(errno));
    path_ = templ;
}

PrivateTempDir::~PrivateTempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string PrivateTempDir::writeFile(const std::string& name, const std::uint8_t* data, std::size_t size) const {
    const std::string p = path_ + "/" + name;
    const int fd = open(p.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) fail(format_, std::string("cannot create a temporary file: ") + std::strerror(errno));
    std::size_t done = 0;
    while (done < size) {
        const ssize_t w = write(fd, data + done, size - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            const int e = errno;
            close(fd);
            fail(format_, std::string("cannot write a temporary file: ") + std::strerror(e));
        }
        done += static_cast<std::size_t>(w);
    }
    if (close(fd) != 0) fail(format_, std::string("cannot write a temporary file: ") + std::strerror(errno));
    return p;
}

std::vector<std::uint8_t> readFileLimited(const std::string& path, std::uint64_t maxBytes, const std::string& format) {
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) fail(format, "the helper process wrote no output");
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        fail(format, "the helper process output is not a regular file");
    }
    if (static_cast<std::uint64_t>(st.st_size) > maxBytes) {
        close(fd);
        fail(format, "the helper process output is larger than allowed");
    }
    std::vector<std::uint8_t> out(static_cast<std::size_t>(st.st_size));
    std::size_t done = 0;
    while (done < out.size()) {
        const ssize_t r = read(fd, out.data() + done, out.size() - done);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        done += static_cast<std::size_t>(r);
    }
    close(fd);
    out.resize(done);
    return out;
}

}  // namespace rastel::imaging
