#pragma once

// Running an external program (a delegate such as Ghostscript) as a separate
// process: a cleaned environment, standard input from a file or /dev/null,
// standard output and error kept in one file (or discarded), its own process
// group killed as a whole when the time limit passes, and a cap on the size of
// any file it writes.

#include <cstdint>
#include <string>
#include <vector>

namespace rastel::imaging {

struct SubprocessOptions {
    std::string program;             // absolute path of the executable
    std::vector<std::string> args;   // argv[1..]
    std::vector<std::string> env;    // the complete environment ("NAME=value")
    std::string workDir;             // working directory of the child ("" = unchanged)
    std::string stdinPath;           // "" = /dev/null
    std::string outputPath;          // standard output and error go here ("" = /dev/null)
    double timeoutSeconds = 30;      // wall-clock limit
    std::uint64_t maxFileBytes = 0;  // RLIMIT_FSIZE of the child, 0 = unlimited
};

struct SubprocessResult {
    bool started = false;   // false when the program could not be executed
    bool timedOut = false;  // killed after timeoutSeconds
    int exitCode = -1;      // exit status when it exited normally, else -1
    int signal = 0;         // the signal that ended it, else 0
};

// Runs the program and waits for it (and the rest of its process group on
// expiry). Never throws for failures of the child; throws Error("<format>: ...")
// only when the process cannot be created at all.
SubprocessResult runSubprocess(const SubprocessOptions& opt, const std::string& format);

// Absolute path of `name` in the directories of `searchPath` (a PATH value),
// or "" when no executable of that name is found.
std::string findExecutable(const std::string& name, const std::string& searchPath);

// A private temporary folder (mode 0700, from mkdtemp) removed with its
// contents when the object goes away.
class PrivateTempDir {
public:
    explicit PrivateTempDir(const std::string& format);
    ~PrivateTempDir();
    PrivateTempDir(const PrivateTempDir&) = delete;
    PrivateTempDir& operator=(const PrivateTempDir&) = delete;
    const std::string& path() const { return path_; }
    // Creates (mode 0600, must not exist) and fills the file `name` inside.
    std::string writeFile(const std::string& name, const std::uint8_t* data, std::size_t size) const;

private:
    std::string path_;
    std::string format_;
};

// Reads a whole file, refusing more than `maxBytes`. Throws Error on failure.
std::vector<std::uint8_t> readFileLimited(const std::string& path, std::uint64_t maxBytes, const std::string& format);

}  // namespace rastel::imaging
