// Texts and file names of the host (UTF-8 inside).
#pragma once

#include "hostTypes.h"

#include <string>

/// A text, stored as UTF-8.
class String {
public:
    /// The empty text.
    String() = default;
    /// A copy of a zero-terminated UTF-8 text (null gives the empty text).
    String(const char* text) : text_(text ? text : "") {}
    /// A copy of a UTF-8 text.
    String(std::string text) : text_(std::move(text)) {}

    /// True when the text is not empty.
    Bool IsPopulated() const { return !text_.empty(); }
    /// True when the text is empty.
    Bool IsEmpty() const { return text_.empty(); }
    /// True when the text is not empty (same as IsPopulated).
    Bool Content() const { return !text_.empty(); }
    /// Length in bytes.
    Int32 GetLength() const { return static_cast<Int32>(text_.size()); }
    /// Writes the text into buf as zero-terminated 8-bit text, truncated to
    /// max - 1 bytes. BIT7HEX writes every character outside 7-bit ASCII as
    /// "\uXXXX" (code point, 4 upper-case hex digits) or "\UXXXXXXXX" above
    /// U+FFFF; a byte that is not valid UTF-8 becomes "\xXX". Other encodings
    /// copy the UTF-8 bytes. Nothing is written when buf is null or max < 1.
    void GetCString(Char* buf, Int32 max, STRINGENCODING type = STRINGENCODING::XBIT) const;
    /// The text converted as GetCString would, without a length limit.
    std::string GetCStringCopy(STRINGENCODING type = STRINGENCODING::XBIT) const;
    /// The UTF-8 text.
    const std::string& GetStd() const { return text_; }

    String operator+(const String& o) const { return String(text_ + o.text_); }
    String& operator+=(const String& o) { text_ += o.text_; return *this; }
    bool operator==(const String& o) const { return text_ == o.text_; }
    bool operator!=(const String& o) const { return text_ != o.text_; }
    bool operator<(const String& o) const { return text_ < o.text_; }

private:
    std::string text_;
};

/// A file or folder path, stored as UTF-8 text.
class Filename {
public:
    /// The empty file name.
    Filename() = default;
    /// The path given as text.
    Filename(const char* path) : path_(path) {}
    /// The path given as text.
    Filename(const String& path) : path_(path) {}
    /// The path given as text.
    Filename(const std::string& path) : path_(path) {}

    /// True when the path is not empty.
    Bool IsPopulated() const { return path_.IsPopulated(); }
    /// True when the path is empty.
    Bool IsEmpty() const { return path_.IsEmpty(); }
    /// True when the path is not empty (same as IsPopulated).
    Bool Content() const { return path_.Content(); }
    /// The path as text.
    const String& GetString() const { return path_; }
    /// Writes the path as 8-bit text; see String::GetCString.
    void GetCString(Char* buf, Int32 max, STRINGENCODING type = STRINGENCODING::XBIT) const {
        path_.GetCString(buf, max, type);
    }
    /// The last component of the path (after the last '/').
    Filename GetFile() const;
    /// Everything before the last '/' (empty when there is none).
    Filename GetDirectory() const;

    /// This path joined with a component: "dir" + "file" = "dir/file".
    Filename operator+(const Filename& component) const;
    bool operator==(const Filename& o) const { return path_ == o.path_; }
    bool operator!=(const Filename& o) const { return path_ != o.path_; }

private:
    String path_;
};
