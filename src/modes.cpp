#include "modes.hpp"

#include <memory>

#include "checks.hpp"
#include "json_output.hpp"
#include "model.hpp"
#include "read.hpp"
#include "report.hpp"

namespace {

// Writes one line with an LF line end; a line that holds a path is made safe
// for a terminal when the output is one.
void write_lf_line(Output& out, const std::string& line) {
    const std::string shown = out.terminal_safe ? shown_on_terminal(line) : line;
    write_bytes(out, shown.data(), shown.size());
    write_bytes(out, "\n", 1);
}

bool has_error(const ImageModel& model) {
    for (const Finding& finding : model.findings) {
        if (finding.severity == Severity::error) {
            return true;
        }
    }
    return false;
}

}  // namespace

int refused_output(Output& out, Diagnostics& diag) {
    diagnostic(diag, std::string("tolvane: error writing standard output: ") + out.reason.text);
    return kFailure;
}

int model_mode(ModelMode mode, const std::vector<std::string>& paths, Output& out,
               Diagnostics& diag) {
    // One source (it holds the read cache) and one model, used for each image in turn.
    const std::unique_ptr<ImageSource> source(new ImageSource);
    ImageModel model;
    bool failed = false;
    bool errors = false;
    const ModelOptions options{mode == ModelMode::json};
    for (const std::string& path : paths) {
        platform::ErrorText reason;
        if (!open_image_source(*source, path.c_str(), &reason)) {
            diagnostic(diag, "tolvane: " + path + ": " + reason.text);
            failed = true;
            continue;
        }
        read_model(*source, path.c_str(), options, model);
        close_image_source(*source);
        if (model.read_failed) {
            diagnostic(diag, read_error_line(path.c_str(), model.read_error_position,
                                             model.read_error_reason.c_str()));
            failed = true;
            continue;
        }
        judge(model);
        errors = errors || has_error(model);
        if (mode == ModelMode::json) {
            const std::string line = model_json(model);
            write_bytes(out, line.data(), line.size());
            write_bytes(out, "\n", 1);
        } else {
            for (const Finding& finding : model.findings) {
                write_lf_line(out, finding_line(path, finding));
            }
        }
        if (out.failed) {
            break;
        }
    }
    if (!flush_output(out)) {
        return refused_output(out, diag);
    }
    if (failed) {
        return kFailure;
    }
    return mode == ModelMode::check && errors ? kImageHasErrors : kSuccess;
}
