// Parameter wedges: one scene run many times with some of its parameters
// changed, every combination of the values given with --vary.
//
// A wedge lives in one folder:
//   DIR/wedge.json      the scene, the varied parameters and every variant
//   DIR/<k>/scene.json  variant k: the scene with its values set
//   DIR/<k>/...         its results (drapeon run --out DIR/<k>) and run.log
//   DIR/<k>/status.json what the run of variant k came to (see WedgeStatus)
//   DIR/summary.csv, DIR/index.html
#pragma once

#include "scene.h"

#include <nlohmann/json.hpp>

#include <filesystem>
#include <string>
#include <vector>

/// One --vary: a number parameter of one object and the values it takes.
struct WedgeAxis {
    std::string option;               ///< the option as given
    std::string objectPath;           ///< "Sheet/Cloth"
    std::string parameterName;        ///< "DRAPEON_STIFFNESS"
    Int32 parameterId = 0;
    bool integer = false;             ///< an int32 parameter
    std::vector<double> values;
    std::vector<std::string> texts;   ///< the values as shown ("30", "0.25")

    /// "Sheet/Cloth.DRAPEON_STIFFNESS"
    std::string Label() const { return objectPath + "." + parameterName; }
};

/// Splits a --vary option into its object path, parameter and value list and
/// reads the values: "PATH.PARAM=V1,V2,..." where an item may also be a range
/// "A:B:COUNT" (COUNT evenly spaced values from A to B). The object and the
/// parameter are looked up later (resolveAxis). False with `error` (without
/// the option's name) when the text is malformed.
bool parseVary(const std::string& option, std::string& path, std::string& parameter, std::vector<double>& values,
               std::string& error);

/// Parses and resolves every --vary against the loaded base scene and its
/// JSON text; each value is tried in a scene of its own, so a value the scene
/// refuses is caught here. False with `error` naming the --vary.
bool resolveAxes(const std::vector<std::string>& varyOptions, const Scene& scene, const nlohmann::json& root,
                 std::vector<WedgeAxis>& axes, std::string& error);

/// The number of variants (the product of the value counts).
size_t variantCount(const std::vector<WedgeAxis>& axes);

/// The value index of every axis for variant k; the last axis changes fastest.
std::vector<size_t> variantChoice(const std::vector<WedgeAxis>& axes, size_t k);

/// The scene of one variant: `root` with the chosen values set and its file
/// names made to work from the variant's folder: relative input files
/// (meshes, point keys) become absolute paths from `baseFolder`, the folder
/// of the original scene; output files (cache paths) become relative, inside
/// the variant's folder, so variants never share a cache.
nlohmann::json variantScene(const nlohmann::json& root, const Scene& scene, const std::vector<WedgeAxis>& axes,
                            const std::vector<size_t>& choice, const std::filesystem::path& baseFolder);

/// The files, relative to a variant's folder, that exist once its run has
/// finished: the last frame's OBJ of every simulated object and the exports.
std::vector<std::string> finishedFiles(const Scene& scene);

/// What a variant's run came to, as DIR/<k>/status.json holds it.
struct WedgeStatus {
    std::string status;        ///< "running", "done", "failed", "interrupted", "cancelled"; empty: never run
    int exitCode = -1;         ///< of drapeon run (128 + signal when it was killed)
    double seconds = 0.0;      ///< wall-clock time of the run
    long peakMemoryKiB = 0;    ///< largest resident set of the run
    std::string host;          ///< machine it ran on
    std::string message;       ///< why it failed, when known
};

bool readWedgeStatus(const std::filesystem::path& variantDir, WedgeStatus& status);
bool writeWedgeStatus(const std::filesystem::path& variantDir, const WedgeStatus& status, std::string& error);

/// A variant has finished when its run ended well and the files it leaves exist.
bool variantFinished(const std::filesystem::path& variantDir, const std::vector<std::string>& files);

/// Reads DIR/wedge.json; false with `error` when it is missing or unreadable.
bool readWedgeFile(const std::filesystem::path& dir, nlohmann::json& wedge, std::string& error);

/// The folder of variant k.
inline std::filesystem::path variantDir(const std::filesystem::path& dir, size_t k) {
    return dir / std::to_string(k);
}

/// Writes DIR/summary.csv and DIR/index.html from wedge.json and the results
/// found in the variant folders. `program` is the drapeon program, used to
/// write a missing viewer page; empty leaves them as they are.
bool writeWedgeSummary(const std::filesystem::path& dir, const std::string& program, std::string& error);

/// "0.25", "30", "1e-05": the shortest text that reads back as the value.
std::string wedgeNumber(double value);
