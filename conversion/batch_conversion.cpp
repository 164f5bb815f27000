#include "conversion/batch_conversion.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include "fileio/file_io.h"
#include "settings_model/convert_settings.h"
#include "settings_model/format_catalogue.h"
#include "settings_model/option_tables.h"

namespace rastel {

BatchFailure LastBatchFailure;

namespace {

constexpr std::array<std::int32_t, 23> kMultiPageCodes{99, 80, 81, 83, 1,  3,  85, 93, 17, 86, 94, 87,
                                                       88, 95, 11, 24, 22, 25, 27, 28, 29, 69, 70};

// Grayscale, mirror, rotation and colour reduction of the current page, each
// reading its setting afresh.
void processPage(ImagingControl& control) {
    if (ConvertSettings.Grayscale == 1) control.ConvertToGrayscale(8);
    if (ConvertSettings.Reverse == 1) control.MirrorImage();
    const std::int16_t angle = RotateAngles.at(static_cast<std::size_t>(ConvertSettings.RotateType));
    if (angle != 0) control.RotateImage(static_cast<std::int32_t>(angle) * 100, true, FillColor{255, 255, 255});
    const std::int16_t bits = CurrentColorBits();
    if (bits <= 8)
        control.ReduceColors(bits, 2, DitherCodes.at(static_cast<std::size_t>(ConvertSettings.DitheringType)), 0);
}

std::string outputPath(const std::string& base) {
    return base + ExtensionTable.at(static_cast<std::size_t>(ConvertSettings.FormatType));
}

// The inputs of one batch, by name and by file identity, so that no output
// replaces another input, queued or already converted.
class BatchInputs {
public:
    explicit BatchInputs(const std::vector<std::string>& queue, std::size_t n)
        : names_(queue.begin(), queue.begin() + n) {
        for (const auto& name : names_) {
            struct stat st {};
            ids_.push_back(::stat(name.c_str(), &st) == 0 ? std::pair{st.st_dev, st.st_ino}
                                                          : std::pair{dev_t{}, ino_t{}});
        }
    }
    // Throws when `output` of input `i` is another input of the batch.
    void checkOutput(std::size_t i, const std::string& output) const {
        struct stat st {};
        const bool exists = ::stat(output.c_str(), &st) == 0;
        for (std::size_t j = 0; j < names_.size(); ++j) {
            if (names_[j] == names_[i] && ids_[j] == ids_[i]) continue;
            const bool sameFile =
                exists && ids_[j] != std::pair{dev_t{}, ino_t{}} && ids_[j] == std::pair{st.st_dev, st.st_ino};
            if (names_[j] == output || sameFile)
                throw ImagingError(names_[i], "its output " + output + " would replace " + names_[j] +
                                                  ", another input of this batch; nothing was written");
        }
    }

private:
    std::vector<std::string> names_;
    std::vector<std::pair<dev_t, ino_t>> ids_;
};

// Replaces the working file's name by the output's in an engine message.
std::string nameTheOutput(std::string message, const std::string& staging, const std::string& output) {
    for (std::size_t at = message.find(staging); at != std::string::npos;
         at = message.find(staging, at + output.size()))
        message.replace(at, staging.size(), output);
    return message;
}

// What a failure says, read from the error's fields: the file it names (""
// for none), the cause, and the whole message.
struct FailureText {
    std::string Path;
    std::string Cause;
    std::string Message;
};

FailureText failureText(const std::exception& e) {
    if (const auto* f = dynamic_cast<const ImagingError*>(&e)) return {f->Path(), f->Cause(), e.what()};
    if (const auto* f = dynamic_cast<const fileio::Error*>(&e)) return {f->path(), f->cause(), e.what()};
    return {std::string(), e.what(), e.what()};
}

FailureText unexpectedFailure() { return {std::string(), "unexpected failure", "unexpected failure"}; }

// Marks `item` failed with what `failure` says.
void recordFailure(BatchItem& item, const FailureText& failure) {
    item.Status = BatchItem::State::Failed;
    item.Message = failure.Message;
    item.Cause = failure.Path == item.Input ? failure.Cause : failure.Message;
}

void removeWorkingFile(const std::string& path) {
    std::error_code ec;
    std::filesystem::remove(path, ec);
}

// Folders whose working files left by dead processes this batch has removed;
// shared by the workers of a parallel run.
class StaleCleaner {
public:
    void clean(const std::string& folder) {
        {
            const std::lock_guard lock(mutex_);
            if (!done_.insert(folder).second) return;
        }
        fileio::removeStaleStaging(folder);
    }

private:
    std::mutex mutex_;
    std::set<std::string> done_;
};

// A finished output still under its working name, for the caller to rename
// into place or discard; registered for removal on a signal until then.
struct PendingOutput {
    std::string Staged;
    std::unique_ptr<fileio::StagingRegistration> Registration;
};

// A suffix that keeps apart the working files of items whose outputs name the
// same file, in the "-XXXXXX" shape that removeStaleStaging recognises.
std::string workingSuffix(std::size_t index) {
    static constexpr char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    std::string s = "-000000";
    for (std::size_t k = 6; k >= 1 && index != 0; --k, index /= 36) s[k] = kDigits[index % 36];
    return s;
}

// Converts `entry`, item i of the batch, overwriting it with its base path as
// the per-file steps do. `observer` is null for a parallel worker. Without
// `pending` the output is in its place on return; with it every output goes to
// a working file that is left in `pending` for the caller to rename.
void convertOne(std::string& entry, std::size_t i, ImagingControl& control, BatchObserver* observer,
                const BatchInputs& inputs, StaleCleaner& cleaner, BatchItem& item, PendingOutput* pending) {
    const std::string path = entry;
    if (path.size() >= 4) {
        const std::string output = outputPath(path.substr(0, path.size() - 4));
        inputs.checkOutput(i, output);
        // Refuse a read-only or non-regular output before any work is done.
        fileio::replaceTarget(output);
    }

    control.ReadFileInfo(path, 0);
    const std::int32_t info = control.InfoPageCount();
    if (info < INT16_MIN || info > INT16_MAX)
        throw ImagingError(path, "page count " + std::to_string(info) + " is too large");
    item.Pages = info;
    std::int16_t pages = static_cast<std::int16_t>(info);
    control.LoadFile(path, 0, 0, pages);
    if (observer) {
        observer->Yield();
        if (observer->WantsPreview()) observer->ShowPreview(control.CurrentPicture());
    }

    if (path.size() < 4) throw ImagingError(path, "the file name has no extension");
    entry = path.substr(0, path.size() - 4);

    processPage(control);
    const std::string output = outputPath(entry);
    item.Output = output;
    const std::int32_t code = CurrentFormatCode();
    std::int16_t quality = ConvertSettings.Quality;
    const bool staged = pending || (IsMultiPageCode(code) && pages >= 2);
    const std::string real = fileio::replaceTarget(output);
    cleaner.clean(std::filesystem::path(real).parent_path().string());
    // The working file sits beside the file it replaces, so the final rename stays in one file system.
    const std::string target = !staged ? output : fileio::stagingPathFor(real) + (pending ? workingSuffix(i) : "");
    auto registered = std::make_unique<fileio::StagingRegistration>(staged ? target : std::string());
    try {
        if (staged)
            control.SaveWorkingFile(target, output, code, CurrentColorBits(), quality);
        else
            control.SaveFile(target, code, CurrentColorBits(), quality, 0);
        if (IsMultiPageCode(code)) {
            // Only a staged output has further pages: a multi-page input always stages.
            for (int p = 2; p <= pages; ++p) {
                control.SetCurrentPageIndex(p - 1);
                processPage(control);
                quality = ConvertSettings.Quality;
                control.AppendToWorkingFile(target, CurrentFormatCode(), CurrentColorBits(), quality);
            }
        }
        if (pending) {
            pending->Staged = target;
            pending->Registration = std::move(registered);
        } else if (staged) {
            fileio::replaceWithStaged(target, output);
        }
    } catch (const std::exception& e) {
        if (!staged) throw;
        removeWorkingFile(target);
        const FailureText failure = failureText(e);
        if (failure.Path.empty()) throw ImagingError(nameTheOutput(failure.Message, target, output));
        throw ImagingError(nameTheOutput(failure.Path, target, output), nameTheOutput(failure.Cause, target, output));
    } catch (...) {
        if (staged) removeWorkingFile(target);
        throw;
    }
}

long long millisecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

// Working files of one batch that are registered for the signal cleanup at a
// time stay well inside what fileio's table holds, whatever --jobs asks for.
constexpr std::size_t kMaxWorkers = 16;

// The parallel batch: workers convert items in queue order into working files;
// the calling thread shows progress, renames the outputs into place in queue
// order and stops at the first failure in that order.
// Runs `f`; what it threw, or nothing when it returned.
template <typename F>
std::optional<FailureText> failureOf(F&& f) {
    try {
        f();
        return std::nullopt;
    } catch (const std::exception& e) {
        return failureText(e);
    } catch (...) {
        return unexpectedFailure();
    }
}

class ParallelBatch {
public:
    ParallelBatch(std::vector<std::string>& queue, std::size_t n, BatchObserver& observer, const BatchInputs& inputs,
                  BatchResult& result)
        : queue_(queue),
          inputs_(queue.begin(), queue.begin() + static_cast<std::ptrdiff_t>(n)),
          n_(n),
          observer_(observer),
          batchInputs_(inputs),
          result_(result),
          slots_(n) {}

    // Runs the batch with one worker per control; returns the index of the
    // item that failed, or n.
    std::size_t run(const std::vector<ImagingControl*>& controls) {
        window_ = 2 * controls.size();
        std::size_t failedAt = n_;
        try {
            std::vector<std::jthread> workers;
            const Stopper stopper{*this};
            for (ImagingControl* control : controls) workers.emplace_back([this, control] { work(*control); });
            failedAt = commitInOrder();
        } catch (...) {
            discardFrom(0);
            throw;
        }
        discardFrom(failedAt + 1);
        return failedAt;
    }

private:
    struct Slot {
        bool done = false;
        bool failed = false;
        FailureText failure;
        PendingOutput pending;
    };
    // Lets every worker end (at most after its current item) before they are joined.
    struct Stopper {
        ParallelBatch& batch;
        ~Stopper() {
            {
                const std::lock_guard lock(batch.mutex_);
                batch.stop_ = true;
            }
            batch.changed_.notify_all();
        }
    };

    // Removes the working files of finished items from `first` on; called once
    // the workers have ended.
    void discardFrom(std::size_t first) {
        for (std::size_t j = first; j < n_; ++j)
            if (!slots_[j].pending.Staged.empty()) removeWorkingFile(slots_[j].pending.Staged);
    }

    void work(ImagingControl& control) {
        for (;;) {
            std::size_t i = 0;
            {
                std::unique_lock lock(mutex_);
                // A bounded look-ahead keeps the finished, not yet renamed outputs few.
                changed_.wait(lock, [&] { return stop_ || next_ >= n_ || next_ < committed_ + window_; });
                // A failure known here lies before `next_`: nothing after it starts.
                if (stop_ || next_ >= n_) return;
                i = next_++;
            }
            Slot& slot = slots_[i];
            BatchItem& item = result_.Items[i];
            std::string entry = inputs_[i];
            const auto start = std::chrono::steady_clock::now();
            const auto failure =
                failureOf([&] { convertOne(entry, i, control, nullptr, batchInputs_, cleaner_, item, &slot.pending); });
            item.Milliseconds = millisecondsSince(start);
            {
                const std::lock_guard lock(mutex_);
                slot.done = true;
                slot.failed = failure.has_value();
                slot.failure = failure.value_or(FailureText{});
                if (failure) stop_ = true;
            }
            changed_.notify_all();
        }
    }

    std::size_t commitInOrder() {
        for (std::size_t i = 0; i < n_; ++i) {
            BatchItem& item = result_.Items[i];
            Slot& slot = slots_[i];
            try {
                observer_.ShowProgress(i, n_);
                {
                    std::unique_lock lock(mutex_);
                    changed_.wait(lock, [&] { return slot.done; });
                }
                if (slot.failed) {
                    fail(item, slot.failure);
                    return i;
                }
                const auto start = std::chrono::steady_clock::now();
                try {
                    fileio::replaceWithStaged(slot.pending.Staged, item.Output);
                } catch (...) {
                    removeWorkingFile(slot.pending.Staged);
                    throw;
                }
                slot.pending = {};
                item.Milliseconds += millisecondsSince(start);
                item.Status = BatchItem::State::Converted;
                queue_[i] = inputs_[i].substr(0, inputs_[i].size() - 4);
                {
                    const std::lock_guard lock(mutex_);
                    committed_ = i + 1;
                }
                changed_.notify_all();
                observer_.ItemDone(i, item);
            } catch (const std::exception& e) {
                fail(item, failureText(e));
                return i;
            } catch (...) {
                fail(item, unexpectedFailure());
                return i;
            }
        }
        return n_;
    }

    void fail(BatchItem& item, const FailureText& failure) {
        recordFailure(item, failure);
        // A later item may have started; what it wrote is discarded.
        {
            const std::lock_guard lock(mutex_);
            stop_ = true;
        }
        changed_.notify_all();
    }

    std::vector<std::string>& queue_;
    const std::vector<std::string> inputs_;
    const std::size_t n_;
    BatchObserver& observer_;
    const BatchInputs& batchInputs_;
    BatchResult& result_;
    StaleCleaner cleaner_;
    std::vector<Slot> slots_;
    std::size_t window_ = 2;

    std::mutex mutex_;
    std::condition_variable changed_;
    std::size_t next_ = 0, committed_ = 0;
    bool stop_ = false;
};

}  // namespace

std::string ProgressText(std::size_t index, std::size_t count) {
    return std::to_string(index + 1) + "/" + std::to_string(count) + "処理中";
}

bool IsMultiPageCode(std::int32_t code) {
    return std::find(kMultiPageCodes.begin(), kMultiPageCodes.end(), code) != kMultiPageCodes.end();
}

BatchResult ConvertQueue(std::vector<std::string>& queue, ImagingControl& control, BatchObserver& observer,
                         unsigned jobs, const ControlFactory& makeControl) {
    const std::size_t n = queue.empty() ? 0 : queue.size() - 1;
    BatchResult result;
    result.Items.resize(n);
    const std::string& ext = ExtensionTable.at(static_cast<std::size_t>(ConvertSettings.FormatType));
    for (std::size_t i = 0; i < n; ++i) {
        result.Items[i].Input = queue[i];
        if (queue[i].size() >= 4) result.Items[i].Output = queue[i].substr(0, queue[i].size() - 4) + ext;
    }

    std::size_t at = 0;
    auto start = std::chrono::steady_clock::now();
    bool failed = false;
    FailureText thrown;
    const auto failure = failureOf([&] {
        const BatchInputs inputs(queue, n);
        std::vector<std::unique_ptr<ImagingControl>> owned;
        std::vector<ImagingControl*> controls{&control};
        const std::size_t workers = std::min<std::size_t>({jobs, n, kMaxWorkers});
        while (makeControl && controls.size() < workers) {
            owned.push_back(makeControl());
            if (!owned.back()) break;
            controls.push_back(owned.back().get());
        }
        if (controls.size() > 1) {
            ParallelBatch batch(queue, n, observer, inputs, result);
            at = batch.run(controls);
            failed = at < n;
        } else {
            StaleCleaner cleaner;
            for (; at < n; ++at) {
                BatchItem& item = result.Items[at];
                observer.ShowProgress(at, n);
                start = std::chrono::steady_clock::now();
                convertOne(queue[at], at, control, &observer, inputs, cleaner, item, nullptr);
                item.Milliseconds = millisecondsSince(start);
                item.Status = BatchItem::State::Converted;
                observer.ItemDone(at, item);
            }
        }
    });
    if (failure) {
        failed = true;
        thrown = *failure;
    }
    if (failed) {
        result.Status = -1;
        if (at < n) {
            BatchItem& item = result.Items[at];
            if (item.Status != BatchItem::State::Failed) {
                recordFailure(item, thrown);
                item.Milliseconds = millisecondsSince(start);
            }
            result.Failure = {item.Input, item.Message, item.Cause};
            try {
                observer.ItemDone(at, item);
            } catch (...) {
            }
        } else {
            result.Failure = {std::string(), thrown.Message, thrown.Message};
        }
    }
    queue.assign(1, std::string());
    return result;
}

std::int16_t ConvertQueue(std::vector<std::string>& queue, ImagingControl& control, BatchObserver& observer) {
    const BatchResult result = ConvertQueue(queue, control, observer, 1);
    if (result.Status != 0) LastBatchFailure = result.Failure;
    return result.Status;
}

}  // namespace rastel
