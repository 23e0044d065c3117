// Parameter descriptions of plug-in types, read from the plug-in's resource
// files, so callers can map parameter names to ids and check value types.
//
// File res/description/<description name>.json:
//   { "parameters": [
//       { "id": 1000, "name": "DRAPEON_MASS", "type": "float",
//         "default": 10.0, "meaning": "mass scale" },
//       { "id": 1003, "name": "NAIL_POINTS", "type": "link",
//         "accepts": [5674, 5682], "meaning": "..." },
//       ... ] }
// "type" is one of float, int32, vector, link, filename, button. "default"
// is a number (float, int32), an array of three numbers (vector), a text
// (filename) or absent/null. "accepts" (links only) lists host type ids;
// absent means any. "meaning" is one line of text.
#pragma once

#include "baseContainer.h"

#include <string>
#include <vector>

/// Value type of a described parameter.
enum class DescValueType { FLOAT, INT32, VECTOR, LINK, FILENAME, BUTTON };

/// The text of a value type ("float", "int32", ...).
const char* DescValueTypeName(DescValueType type);

/// One described parameter.
struct DescParameter {
    Int32 id = 0;
    std::string name;                ///< e.g. "DRAPEON_MASS"
    DescValueType type = DescValueType::FLOAT;
    GeData defaultValue;             ///< empty when there is no default
    std::string meaning;             ///< one line
    std::vector<Int32> accepts;      ///< link: accepted host types (empty: any)

    /// True when a link to a node of type `type` is acceptable (instance
    /// test: a polygon object satisfies Opoint).
    Bool Accepts(Int32 type) const;
};

/// The parameter description of one type.
class Description {
public:
    /// The description name (e.g. "drapeon").
    const std::string& GetName() const { return name_; }
    /// Every parameter in file order.
    const std::vector<DescParameter>& GetParameters() const { return parameters_; }
    /// The parameter with this id, or null.
    const DescParameter* Find(Int32 id) const;
    /// The parameter with this name, or null.
    const DescParameter* Find(const std::string& name) const;

    /// Parses the text of a description file. On failure returns false and
    /// sets error to a message naming the problem (and the parameter).
    static Bool Parse(const std::string& name, const std::string& jsonText, Description& out, std::string& error);
    /// Reads and parses a file; error names the file on failure.
    static Bool Load(const std::string& name, const Filename& file, Description& out, std::string& error);

    /// The description of a registered type, or null (unknown type, or its
    /// file was missing or invalid).
    static const Description* ForType(Int32 typeId);
    /// The description of a registered type by description name, or null.
    static const Description* ForName(const std::string& descriptionName);

private:
    std::string name_;
    std::vector<DescParameter> parameters_;
};
