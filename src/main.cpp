#include "tolvane.hpp"

int main(int argc, char** argv) { return tolvane_main(argc, argv); }
