// Parameter containers, links and text conversion.
#include "host.h"

#include <gtest/gtest.h>

#include <cstring>

TEST(BaseContainer, TypedReadsAndDefaults) {
    BaseContainer bc;
    bc.SetFloat(1, 2.5);
    bc.SetInt32(2, 7);
    bc.SetVector(3, Vector(1, 2, 3));
    bc.SetFilename(4, Filename("cache/shirt"));
    bc.SetBool(5, true);

    EXPECT_EQ(bc.GetFloat(1), 2.5);
    EXPECT_EQ(bc.GetFloat(2), 7.0);          // integers read as floats give their value
    EXPECT_EQ(bc.GetInt32(1), 2);            // floats read as integers truncate
    EXPECT_EQ(bc.GetInt32(2), 7);
    EXPECT_EQ(bc.GetVector(3), Vector(1, 2, 3));
    EXPECT_EQ(bc.GetFilename(4).GetString().GetStd(), "cache/shirt");
    EXPECT_TRUE(bc.GetBool(5));
    EXPECT_TRUE(bc.GetBool(2));

    // Missing entries and entries of another type give the default.
    EXPECT_EQ(bc.GetFloat(99), 0.0);
    EXPECT_EQ(bc.GetFloat(99, -1.0), -1.0);
    EXPECT_EQ(bc.GetFloat(3, 4.0), 4.0);
    EXPECT_EQ(bc.GetInt32(4, 9), 9);
    EXPECT_EQ(bc.GetVector(1, Vector(5, 5, 5)), Vector(5, 5, 5));
    EXPECT_FALSE(bc.GetFilename(1).IsPopulated());
    EXPECT_FALSE(bc.GetBool(3));
    EXPECT_EQ(bc.GetLink(1, nullptr), nullptr);

    // Only changes count as changes.
    const UInt32 dirty = bc.GetDirtyCount();
    bc.SetFloat(1, 2.5);
    EXPECT_EQ(bc.GetDirtyCount(), dirty);
    bc.SetFloat(1, 3.0);
    EXPECT_NE(bc.GetDirtyCount(), dirty);
}

TEST(BaseContainer, LinksResolveInTheirDocumentOnly) {
    BaseDocument* doc = BaseDocument::Alloc();
    BaseDocument* other = BaseDocument::Alloc();
    PolygonObject* mesh = PolygonObject::Alloc(4, 1);
    BaseObject* holder = BaseObject::Alloc(Onull);
    doc->InsertObject(mesh);
    doc->InsertObject(holder);
    BaseTag* sel = mesh->MakeTag(Tpointselection);
    BaseContainer* bc = holder->GetDataInstance();
    bc->SetLink(1, mesh);
    bc->SetLink(2, sel);
    bc->SetLink(3, nullptr);

    EXPECT_EQ(bc->GetLink(1, doc), mesh);
    EXPECT_EQ(bc->GetLink(1, doc, Opoint), mesh);  // a polygon object is a point object
    EXPECT_EQ(bc->GetLink(1, doc, Opolygon), mesh);
    EXPECT_EQ(bc->GetLink(1, doc, Tpointselection), nullptr);
    EXPECT_EQ(bc->GetLink(2, doc, Tpointselection), sel);
    EXPECT_EQ(bc->GetLink(2, doc, Obase), nullptr);
    EXPECT_EQ(bc->GetLink(3, doc), nullptr);
    EXPECT_EQ(bc->GetLink(1, other), nullptr);

    // A deleted target leaves a dangling link that resolves to null.
    BaseObject* gone = mesh;
    BaseObject::Free(gone);
    EXPECT_EQ(bc->GetLink(1, doc), nullptr);
    EXPECT_EQ(bc->GetLink(2, doc), nullptr);
    BaseDocument::Free(doc);
    BaseDocument::Free(other);
}

TEST(String, Bit7HexEscapesAndTruncates) {
    struct Case { const char* in; const char* out; };
    const Case cases[] = {
        {"cache/frame_", "cache/frame_"},
        {"caf\xC3\xA9", "caf\\u00E9"},                   // e acute
        {"\xE2\x82\xAC" "1", "\\u20AC1"},                // euro sign
        {"\xF0\x9F\x98\x80", "\\U0001F600"},             // beyond the basic plane
        {"a\xFFz", "a\\xFFz"},                           // not UTF-8
        {"\xC3", "\\xC3"},                               // cut sequence
    };
    for (const Case& c : cases) {
        char buf[64];
        std::memset(buf, 'X', sizeof buf);
        String(c.in).GetCString(buf, sizeof buf, STRINGENCODING::BIT7HEX);
        EXPECT_STREQ(buf, c.out) << c.in;
    }
    // Truncation to max - 1 bytes, always terminated; nothing for max 0.
    char small[5];
    String("caf\xC3\xA9").GetCString(small, 5, STRINGENCODING::BIT7HEX);
    EXPECT_STREQ(small, "caf\\");
    char untouched[2] = {'Q', 'Q'};
    String("abc").GetCString(untouched, 0, STRINGENCODING::BIT7HEX);
    EXPECT_EQ(untouched[0], 'Q');
    String("abc").GetCString(untouched, 1, STRINGENCODING::BIT7HEX);
    EXPECT_EQ(untouched[0], '\0');
    Filename("dir").GetCString(small, 5, STRINGENCODING::BIT7HEX);
    EXPECT_STREQ(small, "dir");
}
