// Data file of the browser viewer.
#include "export.h"

bool exportViewerData(const Recording&, const std::filesystem::path& dir, std::string& error) {
    error = dir.string() + ": viewer data export is not available yet";
    return false;
}
