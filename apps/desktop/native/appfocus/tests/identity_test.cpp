#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "identity.h"
#include "tracker.h"

namespace appfocus {
namespace {

// The base-name rules on a path; "<rejected>" for a refusal.
std::string baseName(const std::u16string & path) {
    char name[nameBytes];
    memset(name, 0x55, sizeof(name)); // the terminator must be written
    std::u16string copy = path;
    if (!imageBaseName(copy.data(), static_cast<uint32_t>(copy.size()), name)) return "<rejected>";
    return std::string(name);
}

// Where the name lies and the ".exe" rule are tested with common/exe_name.
TEST(ImageBaseName, TakesTheLastBackslashPartWithoutExe) {
    const char16_t loneHigh[] = {u'C', u':', u'\\', 0xD83D, u'x', u'.', u'e', u'x', u'e'};
    const char16_t loneLow[]  = {u'a', 0xDE00};
    const struct {
        std::u16string path;
        std::string    name;
    } cases[] = {
        {u"C:\\Apps\\app", "app"},
        {u"C:\\Apps\\", "<rejected>"},
        {u"C:\\" + std::u16string(256, u'a') + u".exe", std::string(256, 'a')},
        {u"C:\\" + std::u16string(257, u'a'), "<rejected>"},
        {u"a" + std::u16string(128, u'\u00e9'), "<rejected>"}, // 257 bytes of UTF-8
        {u"C:\\\U0001F600.exe", "\xf0\x9f\x98\x80"},           // a surrogate pair
        {std::u16string(loneHigh, 9), "<rejected>"},
        {std::u16string(loneLow, 2), "<rejected>"},
        {u"C:\\a\u001fb.exe", "<rejected>"},
        {u"C:\\a\u007fb.exe", "<rejected>"},
        {std::u16string(u"C:\\a\0b.exe", 10), "<rejected>"},
        {u"C:\\a b~.exe", "a b~"},
    };
    for (const auto & c : cases) {
        EXPECT_EQ(baseName(c.path), c.name) << c.name;
    }
}

} // namespace
} // namespace appfocus
