// Binary glTF writer.
#include "export.h"

bool exportGlb(const Recording&, const std::filesystem::path& file, std::string& error) {
    error = file.string() + ": glTF export is not available yet";
    return false;
}
