// rastel-batch: the headless converter. Same intake, same settings file, same
// batch and engine as the window program; options override the settings for
// one run and are never saved.

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/batch_report.h"
#include "cli/file_list.h"
#include "conversion/batch_conversion.h"
#include "conversion/engine_control.h"
#include "conversion/file_intake.h"
#include "fileio/file_io.h"
#include "imaging/metadata.h"
#include "rastel_version.h"
#include "settings_io/settings_file.h"
#include "settings_model/convert_settings.h"
#include "settings_model/format_catalogue.h"
#include "settings_model/list_models.h"
#include "settings_model/option_tables.h"
#include "settings_model/setting_rules.h"

namespace {

using namespace rastel;

constexpr const char* kUsage =
    "Usage: rastel-batch [options] FILE|FOLDER...\n"
    "Converts image files (and the plain files directly inside folders) into the\n"
    "output format of the settings file Rastel.ini, writing each output beside its\n"
    "input. Rastel.ini is read beside the program when it is there or that folder is\n"
    "writable, otherwise in $XDG_CONFIG_HOME/rastel/ (default ~/.config/rastel/).\n"
    "\n"
    "Options (override the settings for this run only, never saved):\n"
    "  --settings FILE   read the settings from FILE instead of Rastel.ini\n"
    "  --format POS|EXT  format family by list position (0-22) or extension (tif)\n"
    "  --subformat POS   sub-format position within the family\n"
    "  --bits N          colour depth in bits (one the sub-format offers)\n"
    "  --grayscale 0|1   convert to grayscale\n"
    "  --dither POS      dithering method position (0-8)\n"
    "  --rotate POS      rotation position (0-6)\n"
    "  --mirror 0|1      mirror left to right\n"
    "  --quality Q       compression quality factor (2-255)\n"
    "  --list-formats    list every sub-format and exit\n"
    "  --print-settings  print the effective settings and exit\n"
    "  --files-from FILE queue the names listed in FILE (- for stdin), one per line\n"
    "  --null            names in the --files-from list end with NUL, not newline\n"
    "  --report FILE     write one JSON line per item (input, output, status,\n"
    "                    message, pages, milliseconds) to FILE as the batch goes\n"
    "  --jobs N          convert N files at once (default: the number of online\n"
    "                    cores); progress, outputs and exit status are those of\n"
    "                    converting one file after another\n"
    "  --print-metadata FILE  list what reading FILE gives (pages, size, depth,\n"
    "                    resolution, ICC profile, Exif, XMP, IPTC) and exit\n"
    "  --help            show this help and exit\n"
    "  --version         show the version and exit\n"
    "\n"
    "Exit status: 0 all converted, 1 the batch stopped at a failure, 2 usage error.\n";

struct UsageError {
    std::string message;
};

struct Options {
    std::optional<std::string> settingsFile, filesFrom, report;
    bool nulSeparated = false;
    std::optional<std::string> format;
    std::optional<int> subformat, bits, grayscale, dither, rotate, mirror, quality, jobs;
    bool listFormats = false;
    bool printSettings = false;
    std::optional<std::string> printMetadata;
    bool help = false;
    bool version = false;
    std::vector<std::string> items;
};

// The highest sub-format position of any family: what --subformat accepts before
// the family it applies to is known.
int lastSubFormatPosition() {
    std::size_t most = 0;
    for (const FormatFamily& family : FormatCatalogue()) most = std::max(most, family.SubFormats.size());
    return static_cast<int>(most) - 1;
}

int parseInt(const std::string& option, const std::string& text, int lo, int hi) {
    try {
        std::size_t used = 0;
        const int v = std::stoi(text, &used);
        if (used == text.size() && v >= lo && v <= hi) return v;
    } catch (const std::exception&) {
    }
    throw UsageError{option + " takes a number from " + std::to_string(lo) + " to " + std::to_string(hi) + ", got \"" +
                     text + "\""};
}

Options parseArguments(int argc, char** argv) {
    Options o;
    bool optionsDone = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (optionsDone || a.size() < 2 || a.rfind("--", 0) != 0) {
            o.items.push_back(a);
            continue;
        }
        if (a == "--") {
            optionsDone = true;
            continue;
        }
        if (a == "--help" || a == "-h") {
            o.help = true;
            continue;
        }
        if (a == "--version") {
            o.version = true;
            continue;
        }
        if (a == "--list-formats") {
            o.listFormats = true;
            continue;
        }
        if (a == "--print-settings") {
            o.printSettings = true;
            continue;
        }
        if (a == "--null") {
            o.nulSeparated = true;
            continue;
        }
        if (i + 1 >= argc) throw UsageError{a + " needs a value"};
        const std::string v = argv[++i];
        if (a == "--settings")
            o.settingsFile = v;
        else if (a == "--format")
            o.format = v;
        else if (a == "--files-from")
            o.filesFrom = v;
        else if (a == "--report")
            o.report = v;
        else if (a == "--subformat")
            o.subformat = parseInt(a, v, 0, lastSubFormatPosition());
        else if (a == "--bits")
            o.bits = parseInt(a, v, 1, 32);
        else if (a == "--grayscale")
            o.grayscale = parseInt(a, v, 0, 1);
        else if (a == "--dither")
            o.dither = parseInt(a, v, 0, 8);
        else if (a == "--rotate")
            o.rotate = parseInt(a, v, 0, 6);
        else if (a == "--mirror")
            o.mirror = parseInt(a, v, 0, 1);
        else if (a == "--quality")
            o.quality = parseInt(a, v, 2, 255);
        else if (a == "--jobs")
            o.jobs = parseInt(a, v, 1, 1024);
        else if (a == "--print-metadata")
            o.printMetadata = v;
        else
            throw UsageError{"unknown option " + a};
    }
    return o;
}

int familyFromText(const std::string& text) {
    std::string ext = text;
    for (auto& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (!ext.empty() && ext[0] != '.') ext = "." + ext;
    const auto& catalogue = FormatCatalogue();
    for (std::size_t f = 0; f < catalogue.size(); ++f)
        if (catalogue[f].Extension == ext) return static_cast<int>(f);
    return parseInt("--format", text, 0, kFamilyCount - 1);
}

// Applies the options through the same cascades as the settings dialog, so a
// new family or sub-format brings its defaults before the explicit choices.
void applyOptions(const Options& o) {
    SettingsLists lists;
    LoadLists(lists);
    if (o.format) {
        const int family = familyFromText(*o.format);
        if (family == kFamilyCount - 1) {
            // The last family is not in the dialog's list; set it like a stored value.
            ConvertSettings.FormatType = static_cast<int16_t>(family);
            ConvertSettings.FormatDetails = 0;
            RebuildDerivedLists();
            DefaultColorType();
            RebuildDerivedLists();
            DefaultDithering();
            DefaultQuality();
        } else {
            ChooseFormatFamily(lists, family);
        }
    }
    if (o.subformat) {
        if (*o.subformat >= static_cast<int>(ConvertSettings.DetailCodes.size()))
            throw UsageError{"--subformat " + std::to_string(*o.subformat) + ": the family has " +
                             std::to_string(ConvertSettings.DetailCodes.size()) + " sub-formats"};
        ChooseSubFormat(lists, *o.subformat);
        RebuildDerivedLists();
    }
    if (o.bits) {
        const auto& depths = ConvertSettings.ColorBits;
        int index = -1;
        for (std::size_t i = 0; i < depths.size(); ++i)
            if (depths[i] == *o.bits) index = static_cast<int>(i);
        if (index < 0) {
            std::string offered;
            for (auto d : depths) offered += (offered.empty() ? "" : ", ") + std::to_string(d);
            throw UsageError{"--bits " + std::to_string(*o.bits) + ": the sub-format offers " + offered};
        }
        ChooseColorDepth(lists, index);
    }
    if (o.grayscale) ConvertSettings.Grayscale = static_cast<int16_t>(*o.grayscale);
    if (o.dither) ConvertSettings.DitheringType = static_cast<int16_t>(*o.dither);
    if (o.rotate) ConvertSettings.RotateType = static_cast<int16_t>(*o.rotate);
    if (o.mirror) ConvertSettings.Reverse = static_cast<int16_t>(*o.mirror);
    if (o.quality) ConvertSettings.Quality = static_cast<int16_t>(*o.quality);
    RebuildDerivedLists();
}

void listFormats() {
    const auto& catalogue = FormatCatalogue();
    for (std::size_t f = 0; f < catalogue.size(); ++f) {
        const auto& fam = catalogue[f];
        for (std::size_t s = 0; s < fam.SubFormats.size(); ++s) {
            const auto& sub = fam.SubFormats[s];
            std::string depths;
            for (auto d : sub.Depths) depths += (depths.empty() ? "" : ",") + std::to_string(d);
            std::cout << f << '\t' << fam.Extension << '\t' << s << '\t' << sub.Code << '\t' << depths << '\t'
                      << sub.DisplayName << '\n';
        }
    }
}

void printSettings() {
    const auto& s = ConvertSettings;
    std::cout << "FormatType=" << s.FormatType << "\nFormatDetails=" << s.FormatDetails << "\nColorType=" << s.ColorType
              << "\nGrayscale=" << s.Grayscale << "\nDitheringType=" << s.DitheringType
              << "\nRotateType=" << s.RotateType << "\nReverse=" << s.Reverse << "\nQuality=" << s.Quality << '\n';
}

std::string executableFolder() {
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) return AddBackslash(std::filesystem::current_path().string());
    return AddBackslash(exe.parent_path().string());
}

class ConsoleObserver : public BatchObserver {
public:
    ConsoleObserver(const std::vector<std::string>& inputs, BatchReport* report) : inputs_(inputs), report_(report) {}
    void ShowProgress(std::size_t index, std::size_t count) override {
        std::cerr << ProgressText(index, count) << ' ' << (index < inputs_.size() ? inputs_[index] : std::string())
                  << std::endl;
    }
    void Yield() override {}
    void ShowPreview(const DisplayPicture&) override {}
    bool WantsPreview() const override { return false; }
    void ItemDone(std::size_t, const BatchItem& item) override {
        if (report_) report_->Write(item);
    }

private:
    const std::vector<std::string>& inputs_;
    BatchReport* report_;
};

unsigned onlineCores() {
    const long n = ::sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? static_cast<unsigned>(n) : 1u;
}

// The names a --files-from list holds, queued after the command line's.
void readFilesFrom(Options& o) {
    if (!o.filesFrom) return;
    std::ifstream file;
    if (*o.filesFrom != "-") {
        file.open(*o.filesFrom, std::ios::binary);
        if (!file) throw UsageError{"--files-from " + *o.filesFrom + ": cannot be read"};
    }
    const auto names = ReadFileList(*o.filesFrom == "-" ? std::cin : file, o.nulSeparated);
    o.items.insert(o.items.end(), names.begin(), names.end());
}

int run(int argc, char** argv) {
    Options o;
    try {
        o = parseArguments(argc, argv);
    } catch (const UsageError& e) {
        std::cerr << "rastel-batch: " << e.message << "\n\n" << kUsage;
        return 2;
    }
    if (o.help) {
        std::cout << kUsage;
        return 0;
    }
    if (o.version) {
        std::cout << "rastel-batch (Rastel) " << kVersionString << '\n' << kCopyright << '\n';
        return 0;
    }
    BuildExtensionTable();
    BuildDitherCodes();
    BuildRotateAngles();
    if (o.listFormats) {
        listFormats();
        return 0;
    }
    if (o.printMetadata) {
        try {
            std::cout << rastel::imaging::metadataReport(*o.printMetadata);
            return 0;
        } catch (const std::exception& e) {
            std::cerr << "rastel-batch: " << e.what() << '\n';
            return 1;
        }
    }

    AppFolder = executableFolder();
    if (o.settingsFile) {
        // A named file is the user's: a missing one is created with the
        // defaults, one that exists but holds no readable settings is never
        // rewritten.
        SetSettingsFilePath(*o.settingsFile);
        struct stat st {};
        const bool missing = ::lstat(o.settingsFile->c_str(), &st) != 0 && errno == ENOENT;
        if (!missing && ReadSettingsFile() != 0) {
            std::cerr << "rastel-batch: --settings " << *o.settingsFile
                      << ": not a readable settings file; it was left as it is\n";
            return 2;
        }
        if (missing) {
            ReadSettingsFile();  // fails, leaving the defaults
            if (WriteSettingsFile() != 0) {
                std::cerr << "rastel-batch: --settings " << *o.settingsFile << ": cannot be created\n";
                return 2;
            }
        }
    } else if (ReadSettingsFile() != 0 && WriteSettingsFile() != 0) {
        std::cerr << "内部エラー (No.3): " << SettingsFilePath() << " can be neither read nor written\n";
        return 1;
    }
    RepairSettingsRanges();
    try {
        applyOptions(o);
    } catch (const UsageError& e) {
        std::cerr << "rastel-batch: " << e.message << '\n';
        return 2;
    }
    if (o.printSettings) {
        printSettings();
        return 0;
    }
    try {
        readFilesFrom(o);
    } catch (const UsageError& e) {
        std::cerr << "rastel-batch: " << e.message << '\n';
        return 2;
    }
    if (o.items.empty()) {
        std::cerr << "rastel-batch: no files or folders given\n\n" << kUsage;
        return 2;
    }

    ResetQueue(FileQueue);
    for (const auto& item : o.items) {
        if (item.empty()) continue;
        const std::string path = NormalizePath(item);
        if (path.empty()) {
            std::cerr << "rastel-batch: " << item << ": no such file or folder; nothing converted\n";
            return 2;
        }
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0) {
            std::cerr << "rastel-batch: " << item << ": " << std::strerror(errno) << "; nothing converted\n";
            return 2;
        }
        if (S_ISDIR(st.st_mode))
            ExpandFolder(path, FileQueue);
        else
            AcceptFile(path, FileQueue);
    }
    const std::size_t queued = QueuedCount(FileQueue);
    if (queued == 0) {
        std::cerr << "rastel-batch: no files of an accepted type\n";
        return 0;
    }
    fileio::removeStagingOnSignals();
    EngineControl control;
    const std::vector<std::string> inputs(FileQueue.begin(), FileQueue.end() - 1);
    std::ofstream reportFile;
    std::optional<BatchReport> report;
    if (o.report) {
        reportFile.open(*o.report, std::ios::binary | std::ios::trunc);
        if (!reportFile) {
            std::cerr << "rastel-batch: --report " << *o.report << ": cannot be written\n";
            return 2;
        }
        report.emplace(reportFile);
    }
    ConsoleObserver observer(inputs, report ? &*report : nullptr);
    const unsigned jobs = o.jobs ? static_cast<unsigned>(*o.jobs) : onlineCores();
    const BatchResult result =
        ConvertQueue(FileQueue, control, observer, jobs, [] { return std::make_unique<EngineControl>(); });
    if (report) report->End(result.Items);
    if (result.Status != 0) {
        std::cerr << "エラーが発生しました: " << result.Failure.Path << ": " << result.Failure.Cause << '\n';
        return 1;
    }
    std::cerr << "変換終了: " << queued << (queued == 1 ? " file" : " files") << " converted to "
              << ExtensionTable.at(static_cast<std::size_t>(ConvertSettings.FormatType)) << '\n';
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::exception& e) {
        std::cerr << "rastel-batch: " << e.what() << '\n';
        return 2;
    }
}
