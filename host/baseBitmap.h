// Icon bitmaps: the host records the file and its size; no decoding.
#pragma once

#include "hostString.h"

/// Result of BaseBitmap::Init.
enum class IMAGERESULT : Int32 {
    OK = 1,
    NOTEXISTING = -1,
    WRONGTYPE = 2,
};

/// A bitmap loaded from a PNG file: the path, and the width and height read
/// from the file's header.
class BaseBitmap {
public:
    /// A new, empty bitmap.
    static BaseBitmap* Alloc() { return new BaseBitmap(); }
    /// Destroys a bitmap and sets the pointer to null.
    static void Free(BaseBitmap*& bm) { delete bm; bm = nullptr; }

    /// Loads the file: OK for a readable PNG, NOTEXISTING when it cannot be
    /// opened, WRONGTYPE when it is not a PNG.
    IMAGERESULT Init(const Filename& file);
    /// True after a successful Init.
    Bool IsLoaded() const { return loaded_; }
    /// Width in pixels (0 when not loaded).
    Int32 GetBw() const { return width_; }
    /// Height in pixels (0 when not loaded).
    Int32 GetBh() const { return height_; }
    /// The loaded file.
    const Filename& GetPath() const { return path_; }

private:
    Filename path_;
    Bool loaded_ = false;
    Int32 width_ = 0;
    Int32 height_ = 0;
};

/// A bitmap loaded from the current plug-in's resource folder
/// (GeGetPluginResourcePath() + name) for the duration of a scope.
class AutoBitmap {
public:
    /// Loads `name` from the current plug-in's "res" folder; pixelRatio is
    /// recorded only.
    explicit AutoBitmap(const String& name, Float pixelRatio = 1.0);
    /// The bitmap (even when the file is missing: then not loaded).
    operator BaseBitmap*() { return &bitmap_; }
    /// The pixel ratio given.
    Float GetPixelRatio() const { return pixelRatio_; }

private:
    BaseBitmap bitmap_;
    Float pixelRatio_;
};
