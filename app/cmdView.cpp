// `drapeon view OUT_DIR`: writes OUT_DIR/viewer.html, one self-contained page
// that plays the run's results from disk, offline, without a server: the
// bundled viewer script and the run's viewer data (base64) are inlined.
#include "commands.h"
#include "fileWrite.h"

#include <cctype>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <system_error>

#include <CLI/CLI.hpp>

namespace {

namespace fs = std::filesystem;

/// The bundled viewer script installed beside the program.
fs::path defaultScript() {
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (ec) return "viewer/drapeon-viewer.js";
    return self.parent_path() / "viewer" / "drapeon-viewer.js";
}

bool readFile(const fs::path& file, std::string& out) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return false;
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) return false;
    out = text.str();
    return true;
}

std::string base64(const std::string& bytes) {
    static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        const uint32_t v = uint32_t(uint8_t(bytes[i])) << 16 | uint32_t(uint8_t(bytes[i + 1])) << 8 | uint8_t(bytes[i + 2]);
        out += digits[v >> 18], out += digits[(v >> 12) & 63], out += digits[(v >> 6) & 63], out += digits[v & 63];
    }
    if (i + 1 == bytes.size()) {
        const uint32_t v = uint32_t(uint8_t(bytes[i])) << 16;
        out += digits[v >> 18], out += digits[(v >> 12) & 63], out += "==";
    } else if (i + 2 == bytes.size()) {
        const uint32_t v = uint32_t(uint8_t(bytes[i])) << 16 | uint32_t(uint8_t(bytes[i + 1])) << 8;
        out += digits[v >> 18], out += digits[(v >> 12) & 63], out += digits[(v >> 6) & 63], out += '=';
    }
    return out;
}

/// Text made safe inside an HTML element.
std::string htmlText(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '<') out += "&lt;";
        else if (c == '>') out += "&gt;";
        else if (c == '&') out += "&amp;";
        else out += c;
    }
    return out;
}

/// Script text that cannot end its <script> element early: "</script" and
/// "<!--" (any case) start with the escape \x3C instead, which means the same
/// character inside the strings, templates and regular expressions where
/// such text can appear in a script.
std::string scriptText(const std::string& script) {
    auto startsWith = [&](size_t i, const char* word) {
        for (size_t k = 0; word[k] != 0; ++k)
            if (i + k >= script.size() || std::tolower(static_cast<unsigned char>(script[i + k])) != word[k]) return false;
        return true;
    };
    std::string out;
    out.reserve(script.size());
    for (size_t i = 0; i < script.size(); ++i) {
        if (script[i] == '<' && (startsWith(i, "</script") || startsWith(i, "<!--"))) {
            out += "\\x3C";
            continue;
        }
        out += script[i];
    }
    return out;
}

int runView(const std::string& outDir, const std::string& scriptOption) {
    const fs::path dir(outDir);
    const fs::path data = dir / "viewer-data.bin";
    std::string bytes;
    if (!fs::is_directory(dir)) {
        std::cerr << "drapeon view: " << dir.string() << " is not a folder; give the output folder of a run\n";
        return 2;
    }
    if (!readFile(data, bytes)) {
        std::cerr << "drapeon view: cannot read " << data.string()
                  << "; run the scene into this folder first (drapeon run SCENE --out " << dir.string() << ")\n";
        return 2;
    }
    if (bytes.size() < 16 || bytes.compare(0, 8, "DRAPEONV") != 0) {
        std::cerr << "drapeon view: " << data.string() << " is not viewer data of drapeon; run the scene again\n";
        return 2;
    }
    const fs::path scriptFile = scriptOption.empty() ? defaultScript() : fs::path(scriptOption);
    std::string script;
    if (!readFile(scriptFile, script)) {
        std::cerr << "drapeon view: cannot read the viewer script " << scriptFile.string()
                  << "; build it with 'cmake --build <build folder> --target viewer' (needs npm) or give it with "
                     "--script\n";
        return 1;
    }

    std::string title = "drapeon";
    const fs::path absolute = fs::absolute(dir).lexically_normal();
    const std::string folderName = (absolute.has_filename() ? absolute : absolute.parent_path()).filename().string();
    if (!folderName.empty()) title += " - " + folderName;

    const fs::path page = dir / "viewer.html";
    const std::string head = "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
                             "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
                             "<title>" + htmlText(title) + "</title>\n</head>\n<body>\n"
                             "<script id=\"drapeon-data\" type=\"application/octet-stream\">";
    const std::string data64 = base64(bytes);
    const std::string code = scriptText(script);
    std::string error;
    if (!writeFileAtomically(page, {head, data64, "</script>\n<script>\n", code, "\n</script>\n</body>\n</html>\n"},
                             error)) {
        std::cerr << "drapeon view: " << error << "\n";
        return 1;
    }
    std::cout << fs::absolute(page).lexically_normal().string() << "\n";
    return 0;
}

}  // namespace

void addViewCommand(CLI::App& app, AppContext&) {
    CLI::App* view = app.add_subcommand("view", "Write OUT_DIR/viewer.html, a page that plays a run's results "
                                                "offline (open it in a browser)");
    auto outDir = std::make_shared<std::string>();
    auto script = std::make_shared<std::string>();
    view->add_option("OUT_DIR", *outDir, "Output folder of 'drapeon run'")->required();
    view->add_option("--script", *script, "Bundled viewer script (default: viewer/drapeon-viewer.js beside the program)");
    view->callback([outDir, script]() {
        int status = 1;
        try {
            status = runView(*outDir, *script);
        } catch (const std::exception& e) {
            std::cerr << "drapeon view: " << e.what() << "\n";
        }
        if (status != 0) throw CLI::RuntimeError(status);
    });
}
