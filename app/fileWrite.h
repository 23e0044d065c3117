// Writing a whole output file so that a failure never leaves a truncated
// file under its final name.
#pragma once

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <string>
#include <string_view>
#include <system_error>

/// Writes the pieces, one after another, into "<file>.partial" and renames
/// that to `file` once it is complete; on any failure the temporary file is
/// removed and `error` names the file and the problem. The pieces are
/// written as given, so a large payload need not be copied into one string.
inline bool writeFileAtomically(const std::filesystem::path& file, std::initializer_list<std::string_view> pieces,
                                std::string& error) {
    std::filesystem::path temporary = file;
    temporary += ".partial";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (!out) {
            error = "cannot create " + temporary.string() + ": " + std::strerror(errno) +
                    "; check that the folder exists and is writable";
            return false;
        }
        for (std::string_view piece : pieces) out.write(piece.data(), static_cast<std::streamsize>(piece.size()));
        out.close();
        if (!out) {
            error = "cannot write " + temporary.string() + " (disk full?)";
            std::error_code ignored;
            std::filesystem::remove(temporary, ignored);
            return false;
        }
    }
    std::error_code ec;
    std::filesystem::rename(temporary, file, ec);
    if (ec) {
        error = "cannot rename " + temporary.string() + " to " + file.string() + ": " + ec.message();
        std::error_code ignored;
        std::filesystem::remove(temporary, ignored);
        return false;
    }
    return true;
}
