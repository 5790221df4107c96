#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "src/identity.h"
#include "src/tracker.h"

namespace appfocus {
namespace {

// Runs the base-name rules on a path; returns "<rejected>" for a refusal.
std::string baseName(const std::u16string &path) {
    char name[kNameBytes];
    memset(name, 0x55, sizeof(name));  // the terminator must be written
    std::u16string copy = path;
    if (!imageBaseName(copy.data(), static_cast<uint32_t>(copy.size()), name)) return "<rejected>";
    return std::string(name);
}

TEST(ImageBaseName, StripsExeCaseInsensitivelyOnlyFromLongerNames) {
    EXPECT_EQ(baseName(u"C:\\Apps\\app.exe"), "app");
    EXPECT_EQ(baseName(u"C:\\Apps\\App.EXE"), "App");
    EXPECT_EQ(baseName(u"C:\\Apps\\app"), "app");
    EXPECT_EQ(baseName(u"C:\\Apps\\.exe"), ".exe");
    EXPECT_EQ(baseName(u"C:\\Apps\\a.exe"), "a");
    EXPECT_EQ(baseName(u"C:\\Apps\\app.exe.bak"), "app.exe.bak");
    EXPECT_EQ(baseName(u"C:\\Apps\\tool.com"), "tool.com");
}

TEST(ImageBaseName, OnlyBackslashSeparates) {
    EXPECT_EQ(baseName(u"app.exe"), "app");
    EXPECT_EQ(baseName(u"C:/Apps/app.exe"), "C:/Apps/app");
    EXPECT_EQ(baseName(u"\\\\?\\C:\\x\\y\\Deep.exe"), "Deep");
    EXPECT_EQ(baseName(u"C:\\Apps\\"), "<rejected>");
}

TEST(ImageBaseName, LengthIsCountedInUnitsAfterStripping) {
    EXPECT_EQ(baseName(u"C:\\" + std::u16string(256, u'a') + u".exe"), std::string(256, 'a'));
    EXPECT_EQ(baseName(u"C:\\" + std::u16string(257, u'a') + u".exe"), "<rejected>");
    EXPECT_EQ(baseName(u"C:\\" + std::u16string(257, u'a')), "<rejected>");
    // 128 two-byte characters fill the 256 bytes exactly; one more overflows.
    EXPECT_EQ(baseName(std::u16string(128, u'\u00e9')).size(), 256u);
    EXPECT_EQ(baseName(std::u16string(129, u'\u00e9')), "<rejected>");
}

TEST(ImageBaseName, StrictUtf8Conversion) {
    EXPECT_EQ(baseName(u"C:\\\u00c9diteur.exe"), "\xc3\x89" "diteur");
    EXPECT_EQ(baseName(u"C:\\\U0001F600.exe"), "\xf0\x9f\x98\x80");  // a surrogate pair
    const char16_t loneHigh[] = {u'C', u':', u'\\', 0xD83D, u'x', u'.', u'e', u'x', u'e'};
    EXPECT_EQ(baseName(std::u16string(loneHigh, 9)), "<rejected>");
    const char16_t loneLow[] = {u'a', 0xDE00, u'.', u'e', u'x', u'e'};
    EXPECT_EQ(baseName(std::u16string(loneLow, 6)), "<rejected>");
    const char16_t highAtEnd[] = {u'a', 0xD83D};
    EXPECT_EQ(baseName(std::u16string(highAtEnd, 2)), "<rejected>");
}

TEST(ImageBaseName, ControlCharactersAndDelAreRefused) {
    EXPECT_EQ(baseName(u"C:\\a\u0001b.exe"), "<rejected>");
    EXPECT_EQ(baseName(u"C:\\a\u001fb.exe"), "<rejected>");
    EXPECT_EQ(baseName(u"C:\\a\u007fb.exe"), "<rejected>");
    EXPECT_EQ(baseName(std::u16string(u"C:\\a\0b.exe", 10)), "<rejected>");
    EXPECT_EQ(baseName(u"C:\\a b~.exe"), "a b~");
}

}  // namespace
}  // namespace appfocus
