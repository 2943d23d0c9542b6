// libFuzzer target: the fuzzer's bytes are a whole disc image, of any
// length, read from memory. Every pointer in it (catalog sector, load
// sectors) may lead anywhere in 32 bits; positions past the end read as zero
// bytes, so huge ones cost nothing.
//
// Besides what the sanitizers catch, each input must give a report that
// runs to its end, and the same report written for a terminal must differ
// from it only where a field byte outside printable ASCII became '?'.
//
// The same bytes are then read into the image model, judged, and written as
// JSON: the walks must stay within their bounds, and the document must be
// one line of printable ASCII that a JSON parser accepts.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "checks.hpp"
#include "json_output.hpp"
#include "model.hpp"
#include "tolvane.hpp"

namespace {

// The report's reads: primary volume, boot record, catalog, two boot images.
constexpr std::size_t kMostWarnings = 5;
constexpr std::size_t kFewestLines = 29;
constexpr std::size_t kMostLines = 47;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "report_fuzzer: %s\n", what);
    std::abort();
}

bool starts_with(const std::string& text, std::size_t at, const char* prefix) {
    return text.compare(at, std::strlen(prefix), prefix) == 0;
}

void check_diagnostics(const std::string& diagnostics) {
    std::size_t lines = 0;
    std::size_t at = 0;
    while (at < diagnostics.size()) {
        if (!starts_with(diagnostics, at, "tolvane: warning: (memory): ")) {
            fail("a diagnostic line is not a short-read warning");
        }
        const std::size_t end = diagnostics.find('\n', at);
        if (end == std::string::npos) {
            fail("a diagnostic line lacks its line end");
        }
        ++lines;
        at = end + 1;
    }
    if (lines > kMostWarnings) {
        fail("more warnings than reads");
    }
}

// `shown` is `raw` as written for a terminal: CR LF line ends where `raw` has
// them, and every other byte either the same printable byte or '?'.
void check_terminal_report(const std::string& raw, const std::string& shown) {
    if (raw.size() != shown.size()) {
        fail("terminal report differs in length");
    }
    std::size_t lines = 0;
    for (std::size_t i = 0; i < shown.size(); ++i) {
        const unsigned char byte = static_cast<unsigned char>(shown[i]);
        if (byte == '\r' && i + 1 < shown.size() && shown[i + 1] == '\n') {
            if (raw[i] != '\r' || raw[i + 1] != '\n') {
                fail("terminal report has a line end the report lacks");
            }
            ++lines;
            ++i;
            continue;
        }
        if (byte < 0x20 || byte > 0x7E) {
            fail("terminal report holds a byte outside printable ASCII");
        }
        if (shown[i] != raw[i] && shown[i] != '?') {
            fail("terminal report changed a printable byte");
        }
    }
    if (lines < kFewestLines || lines > kMostLines) {
        fail("terminal report has too few or too many lines");
    }
}

// The model of the bytes, its findings and its JSON document.
void check_model(const std::uint8_t* data, std::size_t size) {
    const std::unique_ptr<ImageSource> source(new ImageSource);
    memory_image_source(*source, "(memory)", data, size);
    ImageModel model;
    read_model(*source, "(memory)", ModelOptions{true}, model);
    if (model.read_failed) {
        fail("an image in memory had a read error");
    }
    if (model.volume_descriptors.size() > kMostVolumeDescriptors) {
        fail("more volume descriptors than the walk's bound");
    }
    if (model.boot_catalog &&
        model.boot_catalog->sections.size() + model.boot_catalog->entries.size() > kMostCatalogEntries) {
        fail("more catalog entries than the walk's bound");
    }
    judge(model);
    const std::string line = model_json(model);
    for (const char c : line) {
        if (c < 0x20 || c > 0x7E) {
            fail("the JSON document holds a byte outside printable ASCII");
        }
    }
    const nlohmann::json doc = nlohmann::json::parse(line, nullptr, false);
    if (!doc.is_object() || doc.size() < 8) {
        fail("the JSON document does not parse as an object with its keys");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string report;
    std::string diagnostics;
    const int status = report_memory_image(data, size, false, &report, &diagnostics);
    if (status != 0) {
        fail("an image in memory did not give a complete report");
    }
    if (!starts_with(report, 0, "tolvane ") || report.size() < 2 ||
        report.compare(report.size() - 2, 2, "\r\n") != 0) {
        fail("report lacks its banner or its last line end");
    }
    check_diagnostics(diagnostics);
    std::string shown;
    std::string ignored;
    if (report_memory_image(data, size, true, &shown, &ignored) != 0) {
        fail("a report written as for a terminal did not run to its end");
    }
    check_terminal_report(report, shown);
    check_model(data, size);
    return 0;
}
