// Judging an image: what is wrong with it, where, and how sure tolvane is.
#pragma once

#include <string>

#include "model.hpp"

// Fills the model's findings, errors and warnings in the order of the image.
void judge(ImageModel& model);

// "PATH: error: WHERE: WHAT" or "PATH: warning: WHERE: WHAT", no line end.
std::string finding_line(const std::string& path, const Finding& finding);
