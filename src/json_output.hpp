// The image model as one line of JSON.
#pragma once

#include <string>

#include "model.hpp"

// The model as a JSON document on one line, with no line end: pure ASCII,
// every character outside 0x20 to 0x7E escaped. Text fields of the image
// hold each byte as the character of the same code; the path is read as
// UTF-8 (bytes that are not valid UTF-8 become U+FFFD).
std::string model_json(const ImageModel& model);
