// File names of a run's outputs. Every output of one object (its OBJ frames,
// its point cache, its rest mesh) starts with the same stem, made from the
// object's name by one rule, so that two objects never share a file and no
// object's files are hidden.
#pragma once

#include <string>
#include <vector>

/// The stems of objects named `names`, in order: characters that would leave
/// the folder or that common file systems refuse ('/', '\\', ':', '*', '?',
/// '"', '<', '>', '|', control characters) become '_'; an empty name or a
/// name of dots becomes "object"; a leading dot (a hidden file) becomes '_';
/// a name too long for a file name is shortened at a character boundary.
/// A stem already taken gets "_2", "_3", ...
///
/// `longestSuffix` is the length of the longest ending the caller appends
/// (".-1000000.obj"); stems leave room for it within a file name's 255 bytes.
/// `reasons`, when given, receives per name why its stem differs from it
/// (empty when it does not).
std::vector<std::string> outputStems(const std::vector<std::string>& names, size_t longestSuffix,
                                     std::vector<std::string>* reasons = nullptr);

/// The longest ending of an object's output files for frames up to
/// `largestFrame` in magnitude: ".<frame>.obj" with a sign, ".rest.obj", ".pc2".
size_t longestOutputSuffix(long long largestFrame);
