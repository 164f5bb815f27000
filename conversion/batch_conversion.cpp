#include "conversion/batch_conversion.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <set>

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
    explicit BatchInputs(const std::vector<std::string>& queue, std::size_t n) : names_(queue.begin(), queue.begin() + n) {
        for (const auto& name : names_) {
            struct stat st {};
            ids_.push_back(::stat(name.c_str(), &st) == 0 ? std::pair{st.st_dev, st.st_ino} : std::pair{dev_t{}, ino_t{}});
        }
    }
    // Throws when `output` of input `i` is another input of the batch.
    void checkOutput(std::size_t i, const std::string& output) const {
        struct stat st {};
        const bool exists = ::stat(output.c_str(), &st) == 0;
        for (std::size_t j = 0; j < names_.size(); ++j) {
            if (names_[j] == names_[i] && ids_[j] == ids_[i]) continue;
            const bool sameFile = exists && ids_[j] != std::pair{dev_t{}, ino_t{}} && ids_[j] == std::pair{st.st_dev, st.st_ino};
            if (names_[j] == output || sameFile)
                throw ImagingError(names_[i] + ": its output " + output + " would replace " + names_[j] +
                                   ", another input of this batch; nothing was written");
        }
    }

private:
    std::vector<std::string> names_;
    std::vector<std::pair<dev_t, ino_t>> ids_;
};

// Replaces the working file's name by the output's in an engine message.
std::string nameTheOutput(std::string message, const std::string& staging, const std::string& output) {
    for (std::size_t at = message.find(staging); at != std::string::npos; at = message.find(staging, at + output.size()))
        message.replace(at, staging.size(), output);
    return message;
}

void convertOne(std::vector<std::string>& queue, std::size_t i, std::size_t n, ImagingControl& control,
                BatchObserver& observer, const BatchInputs& inputs, std::set<std::string>& cleanedFolders) {
    const std::string path = queue[i];
    observer.ShowProgress(std::to_string(i + 1) + "/" + std::to_string(n) + "処理中");
    if (path.size() >= 4) {
        const std::string output = outputPath(path.substr(0, path.size() - 4));
        inputs.checkOutput(i, output);
        // Refuse a read-only or non-regular output before any work is done.
        fileio::replaceTarget(output);
    }

    control.ReadFileInfo(path, 0);
    const std::int32_t info = control.InfoPageCount();
    if (info < INT16_MIN || info > INT16_MAX)
        throw ImagingError(path + ": page count " + std::to_string(info) + " is too large");
    std::int16_t pages = static_cast<std::int16_t>(info);
    control.LoadFile(path, 0, 0, pages);
    observer.Yield();
    if (observer.WantsPreview()) observer.ShowPreview(control.CurrentPicture());

    if (path.size() < 4) throw ImagingError(path + ": the file name has no extension");
    queue[i] = path.substr(0, path.size() - 4);

    processPage(control);
    const std::string output = outputPath(queue[i]);
    const std::int32_t code = CurrentFormatCode();
    std::int16_t quality = ConvertSettings.Quality;
    const bool staged = IsMultiPageCode(code) && pages >= 2;
    const std::string real = fileio::replaceTarget(output);
    const std::string folder = std::filesystem::path(real).parent_path().string();
    if (cleanedFolders.insert(folder).second) fileio::removeStaleStaging(folder);
    // The working file sits beside the file it replaces, so the final rename stays in one file system.
    const std::string target = staged ? fileio::stagingPathFor(real) : output;
    const fileio::StagingRegistration registered(staged ? target : std::string());
    try {
        control.SaveFile(target, code, CurrentColorBits(), quality, 0);
        if (IsMultiPageCode(code)) {
            for (int p = 2; p <= pages; ++p) {
                control.SetCurrentPageIndex(p - 1);
                processPage(control);
                quality = ConvertSettings.Quality;
                if (staged)
                    control.AppendToWorkingFile(target, CurrentFormatCode(), CurrentColorBits(), quality);
                else
                    control.SaveFile(outputPath(queue[i]), CurrentFormatCode(), CurrentColorBits(), quality, 1);
            }
        }
        if (staged) fileio::replaceWithStaged(target, output);
    } catch (const std::exception& e) {
        if (!staged) throw;
        std::error_code ec;
        std::filesystem::remove(target, ec);
        throw ImagingError(nameTheOutput(e.what(), target, output));
    } catch (...) {
        if (staged) {
            std::error_code ec;
            std::filesystem::remove(target, ec);
        }
        throw;
    }
}

}  // namespace

bool IsMultiPageCode(std::int32_t code) {
    return std::find(kMultiPageCodes.begin(), kMultiPageCodes.end(), code) != kMultiPageCodes.end();
}

std::int16_t ConvertQueue(std::vector<std::string>& queue, ImagingControl& control, BatchObserver& observer) {
    const std::size_t n = queue.empty() ? 0 : queue.size() - 1;
    std::string input;
    std::int16_t result = 0;
    try {
        const BatchInputs inputs(queue, n);
        std::set<std::string> cleanedFolders;
        for (std::size_t i = 0; i < n; ++i) {
            input = queue[i];
            convertOne(queue, i, n, control, observer, inputs, cleanedFolders);
        }
    } catch (const std::exception& e) {
        LastBatchFailure = {input, e.what()};
        result = -1;
    } catch (...) {
        LastBatchFailure = {input, "unexpected failure"};
        result = -1;
    }
    queue.assign(1, std::string());
    return result;
}

}  // namespace rastel
