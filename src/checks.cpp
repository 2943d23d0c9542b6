#include "checks.hpp"

void judge(ImageModel&) {}

std::string finding_line(const std::string& path, const Finding& finding) {
    return path + (finding.severity == Severity::error ? ": error: " : ": warning: ") +
           finding.where + ": " + finding.message;
}
