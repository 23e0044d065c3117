// Point cache writer.
#include "export.h"

bool exportPc2(const Recording&, const std::filesystem::path& dir, std::string& error) {
    error = dir.string() + ": point cache export is not available yet";
    return false;
}
