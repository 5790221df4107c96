// Where the executable's name lies in an image path.
#include <gtest/gtest.h>

#include <string>

#include "exe_name.h"

namespace {

// The name found, with "+exe" when the suffix was taken off.
std::u16string found(const std::u16string & path) {
    const quillet::ExeName name = quillet::exeName(path.data(), (uint32_t) path.size());
    std::u16string         text = path.substr(name.begin, name.units);
    return name.exeSuffix ? text + u"+exe" : text;
}

TEST(ExeName, LastBackslashPartLessAFinalExeInAnyCase) {
    const struct {
        std::u16string path;
        std::u16string name;
    } cases[] = {
        {u"C:\\Apps\\app.exe", u"app+exe"},
        {u"C:\\Apps\\app", u"app"},
        {u"C:\\Apps\\.exe", u".exe"}, // only a longer name loses the suffix
        {u"C:\\Apps\\a.eXe", u"a+exe"},
        {u"C:\\Apps\\app.exe.bak", u"app.exe.bak"},
        {u"C:\\Apps\\app.com", u"app.com"},
        {u"app.exe", u"app+exe"},
        {u"C:/Apps/app.exe", u"C:/Apps/app+exe"}, // forward slashes do not separate
        {u"\\\\?\\C:\\x\\Deep.exe", u"Deep+exe"},
        {u"C:\\mstsc.exe\\notepad.exe", u"notepad+exe"},
        {u"C:\\Apps\\", u""},
        {u"", u""},
    };
    for (const auto & c : cases) {
        EXPECT_EQ(found(c.path), c.name);
    }
}

} // namespace
