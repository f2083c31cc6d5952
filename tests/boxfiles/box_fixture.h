#pragma once
// Shared fixture of the table-backed box-file tests: a fresh temporary program directory,
// fresh tables, a pinned clock and a manual one-hour time offset.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "boxfiles/box_tables.h"
#include "platform/clock.h"
#include "platform/date_time.h"
#include "platform/time_zone.h"

namespace tapir::boxfiles::testing {

class BoxFilesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/tapir-boxfiles-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = std::string(pattern) + "/";
        tables_.DropAll();
        tables_.OpenAll();
        conversion_.UTC_Auto = false;
        conversion_.UTC_Offset = 1;
    }

    void TearDown() override {
        tables_.DropAll();
        std::filesystem::remove_all(dir_);
    }

    void Write(const std::string& name, const std::string& text) {
        std::ofstream out(dir_ + name, std::ios::binary);
        out << text;
    }

    // Copies every file of a folder into the program directory.
    void CopyFrom(const std::string& folder) {
        for (const auto& entry : std::filesystem::directory_iterator(folder)) {
            if (entry.is_regular_file()) {
                std::filesystem::copy_file(entry.path(), dir_ + entry.path().filename().string(),
                                           std::filesystem::copy_options::overwrite_existing);
            }
        }
    }

    std::string Read(const std::string& name) const {
        std::ifstream in(dir_ + name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    std::vector<std::string> Log() const { return log_lines_; }

    platform::LogSink LogSink() {
        return [this](const std::string& line) { log_lines_.push_back(line); };
    }

    // Values of one field over all visible rows of a table, in its current order.
    static std::vector<std::string> Column(engine::TSQLMemTable& table, const char* field) {
        std::vector<std::string> values;
        for (table.First(); !table.Eof(); table.Next()) {
            values.push_back(table.FieldByName(field).AsString());
        }
        return values;
    }

    std::string dir_;
    BoxTables tables_;
    platform::TimeConversionSettings conversion_;
    std::vector<std::string> log_lines_;
};

}  // namespace tapir::boxfiles::testing
