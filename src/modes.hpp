// The modes that read each image into its model and write what it shows:
// --json (the model as JSON Lines) and --check (the findings, one a line).
#pragma once

#include <string>
#include <vector>

#include "UTypes.hpp"

// Exit statuses shared by every mode.
constexpr int kSuccess = 0;
constexpr int kFailure = 1;  // unreadable image, read error, refused output
constexpr int kUsage = 2;
constexpr int kImageHasErrors = 3;  // --check: an image has an error finding

// What each mode writes for one image whose model has been read.
enum class ModelMode { json, check };

// Reads every image of `paths` in turn and writes its JSON line or its
// findings to `out`; an image that cannot be opened or read gets an error
// line on `diag` and the run goes on. Returns the exit status.
int model_mode(ModelMode mode, const std::vector<std::string>& paths, Output& out,
               Diagnostics& diag);

// Says why standard output refused the output, and returns kFailure.
int refused_output(Output& out, Diagnostics& diag);
