#include "boxfiles/bouquet_lines.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace tapir::boxfiles {
namespace {

using Opt = std::optional<std::string>;

TEST(BouquetLines, IndexLinesNameBouquetFiles) {
    struct Case {
        const char* line;
        Opt file;
    };
    const std::vector<Case> cases = {
        {"#SERVICE 1:7:1:0:0:0:0:0:0:0:userbouquet.favourites.tv", "userbouquet.favourites.tv"},
        {"#SERVICE: 1:7:1:0:0:0:0:0:0:0:userbouquet.dbe01.tv", "userbouquet.dbe01.tv"},
        {"#service 1:7:1:0:0:0:0:0:0:0:userbouquet.x.tv", "userbouquet.x.tv"},
        // The bare name is not trimmed.
        {"#SERVICE 1:7:1:0:0:0:0:0:0:0:userbouquet.x.tv ", "userbouquet.x.tv "},
        {"#SERVICE 1:7:1:0:0:0:0:0:0:0:FROM BOUQUET \"userbouquet.favourites.tv\" ORDER BY "
         "bouquet",
         "userbouquet.favourites.tv"},
        {"#SERVICE: 1:7:2:0:0:0:0:0:0:0:FROM BOUQUET \"userbouquet.AustriaSat.radio\" ORDER BY "
         "bouquet",
         "userbouquet.AustriaSat.radio"},
        // A quote right before a bare name: not a reference line.
        {"#SERVICE 1:7:1:0:0:0:0:0:0:0:\"userbouquet.x.tv\"", std::nullopt},
        {"#SERVICE 1:7:1:0:0:0:0:0:0:0:FROM BOUQUET \"userbouquet.x.tv", std::nullopt},
        {"#SERVICE 1:7:1:0:0:0:0:0:0:0:UserBouquet.x.tv", std::nullopt},
        {"#NAME User - bouquets (TV)", std::nullopt},
        {"#SERVIC 1:7:1:0:0:0:0:0:0:0:userbouquet.x.tv", std::nullopt},
        {"", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(BouquetFileOfIndexLine(c.line), c.file);
    }
}

TEST(BouquetLines, NameLines) {
    struct Case {
        const char* line;
        Opt name;
    };
    const std::vector<Case> cases = {
        {"#NAME Favourites (TV)", "Favourites (TV)"},
        {"#name ORF", "ORF"},
        {"#NAME     HDTV-Sender  \t", "HDTV-Sender"},
        {"#NAME", ""},
        {"#NAMEX", "X"},
        {"#DESCRIPTION: x", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(BouquetNameOfLine(c.line), c.name);
    }
    // Characters 6 to 104: at most 99 characters of name.
    const std::string long_name(150, 'n');
    EXPECT_EQ(BouquetNameOfLine("#NAME " + long_name), std::string(98, 'n'));
}

TEST(BouquetLines, ChannelEntries) {
    struct Case {
        const char* line;
        Opt reference;
    };
    const std::vector<Case> cases = {
        {"#SERVICE 1:0:19:283d:3fb:1:c00000:0:0:0:", "1:0:19:283d:3fb:1:c00000:0:0:0:"},
        {"#SERVICE: 1:0:1:6DCA:44D:1:C00000:0:0:0:", "1:0:1:6DCA:44D:1:C00000:0:0:0:"},
        {"#SERVICE 1:64:0:0:0:0:0:0:0:0::Sport", "1:64:0:0:0:0:0:0:0:0::Sport"},
        {"#SERVICE 1:0:1:6DCA:44D:1:C00000:0:0:0:\r", "1:0:1:6DCA:44D:1:C00000:0:0:0:"},
        {"#service 1:0:1:6DCA:44D:1:C00000:0:0:0:", std::nullopt},
        {"#DESCRIPTION Sport", std::nullopt},
        {"#SERVICE", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(ChannelReferenceOfLine(c.line), c.reference);
    }
}

}  // namespace
}  // namespace tapir::boxfiles
