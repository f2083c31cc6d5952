// gtest entry for the Qt test binaries: widgets need a QApplication before any test runs,
// and CI has no display, so the offscreen platform is the default. Its screen is the size
// of a common laptop's (1280 x 800) rather than the platform's default 800 x 600, so that
// windows are tested at the size they are designed for.
#include <gtest/gtest.h>

#include <QApplication>
#include <QByteArray>
#include <QFile>
#include <QTemporaryDir>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QTemporaryDir config_dir;
    std::vector<char*> args(argv, argv + argc);
    std::string platform_argument;
    if (std::strcmp(std::getenv("QT_QPA_PLATFORM"), "offscreen") == 0 && config_dir.isValid()) {
        const QString path = config_dir.filePath(QStringLiteral("offscreen.json"));
        QFile config(path);
        if (config.open(QIODevice::WriteOnly)) {
            config.write(
                R"({"screens": [{"name": "Laptop", "x": 0, "y": 0, "width": 1280, "height": 800,)"
                R"( "logicalDpi": 96, "logicalBaseDpi": 96, "dpr": 1}]})");
            config.close();
            platform_argument = "offscreen:configfile=" + path.toStdString();
        }
    }
    static char platform_option[] = "-platform";
    if (!platform_argument.empty()) {
        args.push_back(platform_option);
        args.push_back(platform_argument.data());
    }
    int qt_argc = static_cast<int>(args.size());
    args.push_back(nullptr);
    QApplication app(qt_argc, args.data());
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
