#include "directory.hpp"

void name_files(ImageSource&, ImageModel&) {}
