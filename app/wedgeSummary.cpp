// DIR/summary.csv and DIR/index.html of a wedge: what every variant came to,
// and a contact sheet with a picture of every variant's last frame.
//
// Both read the variants' viewer data (viewer-data.bin, the world positions
// of every mesh at every frame) and status.json; nothing needs the plug-in.
#include "wedge.h"
#include "wedgeProcess.h"

#include "fileWrite.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <limits>
#include <sstream>
#include <sys/wait.h>

namespace fs = std::filesystem;
using json = nlohmann::json;

namespace {

/// One mesh of a variant's last frame, in world space.
struct LastMesh {
    std::string name;
    bool simulated = false;
    std::vector<float> points;        ///< xyz of the last frame
    std::vector<float> previous;      ///< xyz of the frame before (empty: none)
    std::vector<uint32_t> triangles;  ///< three indices each
};

struct VariantResult {
    int frames = 0;
    int fps = 30;
    std::vector<LastMesh> meshes;
};

/// Reads the last two frames of every mesh from DIR/<k>/viewer-data.bin.
bool readLastFrame(const fs::path& file, VariantResult& out) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return false;
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (bytes.size() < 16 || bytes.compare(0, 8, "DRAPEONV") != 0) return false;
    uint32_t length = 0;
    std::memcpy(&length, bytes.data() + 12, 4);
    if (length > bytes.size() - 16) return false;
    const size_t base = 16 + size_t(length);
    const size_t binary = bytes.size() - base;
    try {
        const json header = json::parse(bytes.substr(16, length));
        out.frames = header.value("frameCount", 0);
        out.fps = std::max(1, header.value("fps", 30));
        for (const json& m : header.at("meshes")) {
            LastMesh mesh;
            mesh.name = m.value("path", m.value("name", std::string("?")));
            mesh.simulated = m.value("simulated", false);
            const size_t n = m.at("pointCount").get<size_t>(), t = m.at("triangleCount").get<size_t>();
            const size_t stored = m.at("storedFrames").get<size_t>();
            const size_t indices = m.at("indices").get<size_t>(), positions = m.at("positions").get<size_t>();
            if (n > binary / 12 || t > binary / 12 || indices + t * 12 > binary || stored > binary ||
                (stored > 0 && positions + stored * n * 12 > binary))
                return false;
            mesh.triangles.resize(t * 3);
            std::memcpy(mesh.triangles.data(), bytes.data() + base + indices, t * 12);
            for (const uint32_t i : mesh.triangles)
                if (i >= n) return false;
            if (stored > 0) {
                mesh.points.resize(n * 3);
                std::memcpy(mesh.points.data(), bytes.data() + base + positions + (stored - 1) * n * 12, n * 12);
            }
            if (stored > 1) {
                mesh.previous.resize(n * 3);
                std::memcpy(mesh.previous.data(), bytes.data() + base + positions + (stored - 2) * n * 12, n * 12);
            }
            out.meshes.push_back(std::move(mesh));
        }
    } catch (const std::exception&) {
        return false;
    }
    return true;
}

std::string csvField(const std::string& s) {
    if (s.find_first_of(",\"\n\r") == std::string::npos) return s;
    std::string out = "\"";
    for (const char c : s) out += c == '"' ? std::string("\"\"") : std::string(1, c);
    return out + "\"";
}

std::string html(const std::string& s) {
    std::string out;
    for (const char c : s) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            default: out += c;
        }
    }
    return out;
}

/// A coordinate as the viewer data holds it: a 32-bit float, shortest text.
std::string coordinate(double v) {
    char text[32];
    const auto result = std::to_chars(text, text + sizeof text, static_cast<float>(v));
    return std::string(text, result.ptr);
}

std::string fixed(double v, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, v);
    return text;
}

/// The contact sheet's camera: from the front right, a little above;
/// orthographic, the same for every tile so that the variants compare.
struct View {
    double cy = std::cos(0.6), sy = std::sin(0.6), cp = std::cos(0.45), sp = std::sin(0.45);
    /// Screen x, screen y (up) and nearness of a world point.
    void project(const float* p, double& x, double& y, double& near) const {
        const double xr = p[0] * cy + p[2] * sy, zr = -p[0] * sy + p[2] * cy;
        x = xr;
        y = p[1] * cp - zr * sp;
        near = zr * cp + p[1] * sp;
    }
};

/// The SVG picture of one variant's last frame: flat-shaded triangles drawn
/// far to near; cloths in colour, the other meshes grey.
std::string picture(const VariantResult& r, const View& view, double minX, double maxY, double scale, int width,
                    int height) {
    struct Triangle {
        double near;
        double x[3], y[3];
        int r, g, b;
    };
    std::vector<Triangle> triangles;
    const double light[3] = {0.37, 0.84, 0.4};
    for (const LastMesh& m : r.meshes) {
        if (m.points.empty()) continue;
        for (size_t t = 0; t + 2 < m.triangles.size(); t += 3) {
            const float* p[3] = {&m.points[3 * m.triangles[t]], &m.points[3 * m.triangles[t + 1]],
                                 &m.points[3 * m.triangles[t + 2]]};
            const double e1[3] = {p[1][0] - p[0][0], p[1][1] - p[0][1], p[1][2] - p[0][2]};
            const double e2[3] = {p[2][0] - p[0][0], p[2][1] - p[0][1], p[2][2] - p[0][2]};
            const double n[3] = {e1[1] * e2[2] - e1[2] * e2[1], e1[2] * e2[0] - e1[0] * e2[2],
                                 e1[0] * e2[1] - e1[1] * e2[0]};
            const double length = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
            if (!(length > 0.0)) continue;
            const double shade = 0.3 + 0.7 * std::round(16.0 * std::fabs((n[0] * light[0] + n[1] * light[1] + n[2] * light[2]) / length)) / 16.0;
            Triangle tri{};
            double near = 0.0;
            for (int c = 0; c < 3; ++c) {
                double x, y, z;
                view.project(p[c], x, y, z);
                tri.x[c] = (x - minX) * scale;
                tri.y[c] = (maxY - y) * scale;
                near += z;
            }
            tri.near = near;
            const int base[3] = {m.simulated ? 222 : 170, m.simulated ? 118 : 172, m.simulated ? 74 : 180};
            tri.r = int(base[0] * shade), tri.g = int(base[1] * shade), tri.b = int(base[2] * shade);
            triangles.push_back(tri);
        }
    }
    std::sort(triangles.begin(), triangles.end(), [](const Triangle& a, const Triangle& b) { return a.near < b.near; });
    // Whole pixels, and one path for each run of triangles of one colour
    // (drawing order kept): a tile stays small however many variants a sheet has
    std::string out = "<svg viewBox=\"0 0 " + std::to_string(width) + " " + std::to_string(height) +
                      "\" width=\"" + std::to_string(width) + "\" height=\"" + std::to_string(height) +
                      "\" xmlns=\"http://www.w3.org/2000/svg\" stroke-width=\".5\" stroke-linejoin=\"round\">";
    char text[160];
    int colour = -1;
    for (const Triangle& t : triangles) {
        const long x0 = std::lround(t.x[0]), y0 = std::lround(t.y[0]), x1 = std::lround(t.x[1]), y1 = std::lround(t.y[1]),
                   x2 = std::lround(t.x[2]), y2 = std::lround(t.y[2]);
        if ((x1 - x0) * (y2 - y0) == (x2 - x0) * (y1 - y0)) continue;  // less than a pixel wide
        const int c = (t.r << 16) | (t.g << 8) | t.b;
        if (c != colour) {
            if (colour >= 0) out += "\"/>";
            std::snprintf(text, sizeof text, "<path fill=\"#%06x\" stroke=\"#%06x\" d=\"", c, c);
            out += text;
            colour = c;
        }
        std::snprintf(text, sizeof text, "M%ld %ld %ld %ld %ld %ldZ", x0, y0, x1, y1, x2, y2);
        out += text;
    }
    if (colour >= 0) out += "\"/>";
    return out + "</svg>";
}

}  // namespace

bool writeWedgeSummary(const fs::path& dir, const std::string& program, std::string& error) {
    json wedge;
    if (!readWedgeFile(dir, wedge, error)) return false;
    std::vector<std::string> labels;
    for (const json& v : wedge["vary"]) labels.push_back(v.value("object", "?") + "." + v.value("parameter", "?"));
    const size_t count = wedge["variants"].size();

    std::vector<VariantResult> results(count);
    std::vector<WedgeStatus> statuses(count);
    std::vector<std::string> cloths;  // every cloth that appears, in order
    for (size_t k = 0; k < count; ++k) {
        const fs::path vdir = variantDir(dir, k);
        readWedgeStatus(vdir, statuses[k]);
        if (!readLastFrame(vdir / "viewer-data.bin", results[k])) results[k] = VariantResult();
        for (const LastMesh& m : results[k].meshes)
            if (m.simulated && std::find(cloths.begin(), cloths.end(), m.name) == cloths.end()) cloths.push_back(m.name);
        // A page that plays the variant, where its run could not write one
        std::error_code ec;
        if (!program.empty() && fs::is_regular_file(vdir / "viewer-data.bin", ec) &&
            !fs::exists(vdir / "viewer.html", ec)) {
            std::string ignored;
            const pid_t pid = startProcess({program, "view", vdir.string()}, vdir / "run.log", true, ignored);
            int status = 0;
            while (pid > 0 && waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
        }
    }

    // summary.csv
    std::string csv = "variant";
    for (const std::string& l : labels) csv += "," + csvField(l);
    csv += ",status,exit_code,frames,seconds,peak_memory_mib";
    for (const std::string& c : cloths)
        for (const char* column : {"lowest_y", "min_x", "min_y", "min_z", "max_x", "max_y", "max_z", "mean_speed"})
            csv += "," + csvField(c + "." + column);
    csv += "\n";
    for (size_t k = 0; k < count; ++k) {
        const json& variant = wedge["variants"][k];
        const WedgeStatus& s = statuses[k];
        csv += std::to_string(k);
        for (size_t a = 0; a < labels.size(); ++a) {
            const json& values = variant["values"];
            csv += "," + (a < values.size() && values[a].is_number() ? wedgeNumber(values[a].get<double>()) : "");
        }
        csv += "," + (s.status.empty() ? std::string("not run") : s.status);
        csv += "," + (s.exitCode >= 0 ? std::to_string(s.exitCode) : std::string());
        csv += "," + std::to_string(results[k].frames);
        csv += "," + (s.status.empty() || s.status == "running" ? std::string() : fixed(s.seconds, 2));
        csv += "," + (s.peakMemoryKiB > 0 ? fixed(double(s.peakMemoryKiB) / 1024.0, 1) : std::string());
        for (const std::string& c : cloths) {
            const auto m = std::find_if(results[k].meshes.begin(), results[k].meshes.end(),
                                        [&](const LastMesh& x) { return x.simulated && x.name == c; });
            if (m == results[k].meshes.end() || m->points.empty()) {
                csv += ",,,,,,,,";
                continue;
            }
            double lo[3], hi[3];
            for (int i = 0; i < 3; ++i) lo[i] = std::numeric_limits<double>::infinity(), hi[i] = -lo[i];
            double speed = 0.0;
            const size_t n = m->points.size() / 3;
            for (size_t p = 0; p < n; ++p) {
                for (int i = 0; i < 3; ++i) {
                    lo[i] = std::min(lo[i], double(m->points[3 * p + i]));
                    hi[i] = std::max(hi[i], double(m->points[3 * p + i]));
                }
                if (!m->previous.empty()) {
                    const double dx = double(m->points[3 * p]) - m->previous[3 * p];
                    const double dy = double(m->points[3 * p + 1]) - m->previous[3 * p + 1];
                    const double dz = double(m->points[3 * p + 2]) - m->previous[3 * p + 2];
                    speed += std::sqrt(dx * dx + dy * dy + dz * dz);
                }
            }
            speed = n > 0 ? speed / double(n) * results[k].fps : 0.0;
            csv += "," + coordinate(lo[1]);
            for (const double v : {lo[0], lo[1], lo[2], hi[0], hi[1], hi[2]}) csv += "," + coordinate(v);
            csv += "," + fixed(speed, 4);
        }
        csv += "\n";
    }
    if (!writeFileAtomically(dir / "summary.csv", {csv}, error)) return false;

    // index.html: one camera for every tile, framing all last frames
    const View view;
    double minX = std::numeric_limits<double>::infinity(), maxX = -minX, minY = minX, maxY = -minX;
    for (const VariantResult& r : results)
        for (const LastMesh& m : r.meshes)
            for (size_t p = 0; p + 2 < m.points.size(); p += 3) {
                double x, y, z;
                view.project(&m.points[p], x, y, z);
                minX = std::min(minX, x), maxX = std::max(maxX, x), minY = std::min(minY, y), maxY = std::max(maxY, y);
            }
    const int width = 240;
    int height = 180;
    double scale = 1.0;
    if (maxX > minX && maxY > minY) {
        const double margin = 0.04 * std::max(maxX - minX, maxY - minY);
        minX -= margin, maxX += margin, minY -= margin, maxY += margin;
        scale = width / (maxX - minX);
        height = std::clamp(int(std::ceil((maxY - minY) * scale)), 60, 480);
        scale = std::min(scale, height / (maxY - minY));
    }
    const std::string sceneName = fs::path(wedge.value("scene", std::string("scene"))).filename().string();
    std::string page = "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>drapeon wedge - " +
                       html(sceneName) +
                       "</title>\n<style>\nbody{font:14px system-ui,sans-serif;margin:16px;background:#f4f4f4;color:#222}\n"
                       ".tiles{display:flex;flex-wrap:wrap;gap:12px}\n"
                       ".tile{background:#fff;border:1px solid #ccc;border-radius:4px;padding:6px;width:" +
                       std::to_string(width) +
                       "px}\n.tile a{color:inherit;text-decoration:none}\n.tile svg{display:block;background:#fafafa}\n"
                       ".tile .none{display:flex;align-items:center;justify-content:center;color:#888;height:" +
                       std::to_string(height) +
                       "px}\n.values{margin-top:4px;font-size:12px;line-height:1.4}\n"
                       ".failed{border-color:#c33}.failed .state{color:#c33}\n.state{color:#666}\n</style>\n</head>\n<body>\n"
                       "<h1>" + html(sceneName) + ": " + std::to_string(count) + " variants</h1>\n<div class=\"tiles\">\n";
    for (size_t k = 0; k < count; ++k) {
        const WedgeStatus& s = statuses[k];
        const bool failed = !s.status.empty() && s.status != "done" && s.status != "running";
        const std::string folder = std::to_string(k);
        std::error_code ec;
        const bool viewer = fs::exists(variantDir(dir, k) / "viewer.html", ec);
        page += std::string("<div class=\"tile") + (failed ? " failed" : "") + "\">";
        if (viewer) page += "<a href=\"" + folder + "/viewer.html\" title=\"play variant " + folder + "\">";
        if (results[k].meshes.empty())
            page += "<div class=\"none\">no frame</div>";
        else
            page += picture(results[k], view, minX, maxY, scale, width, height);
        page += "<div class=\"values\"><b>" + folder + "</b>";
        const json& values = wedge["variants"][k]["values"];
        for (size_t a = 0; a < labels.size() && a < values.size(); ++a)
            page += "<br>" + html(labels[a]) + " = " + (values[a].is_number() ? wedgeNumber(values[a].get<double>()) : "?");
        page += "<br><span class=\"state\">" + html(s.status.empty() ? "not run" : s.status);
        if (s.status == "done") page += ", " + std::to_string(results[k].frames) + " frames, " + fixed(s.seconds, 1) + " s";
        page += "</span></div>";
        if (viewer) page += "</a>";
        page += "</div>\n";
    }
    page += "</div>\n</body>\n</html>\n";
    return writeFileAtomically(dir / "index.html", {page}, error);
}
