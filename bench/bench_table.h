#pragma once
// The table the engine benchmarks share: an autoinc primary key, a fixed-length name
// with a non-unique secondary index, and a date-time, filled from seeded random data so
// that every benchmark and every run sees the same rows.

#include <time.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "engine/table/sqlmem_table.h"

namespace bench {

inline constexpr int kNameLength = 20;
inline constexpr uint32_t kSeed = 20261209;

inline double CpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Lower-case letters only, all of one length: ICU's root collation and a plain byte
// comparison order them alike.
inline std::vector<std::string> MakeNames(int count, std::mt19937& random) {
    std::uniform_int_distribution<int> letter(0, 25);
    std::vector<std::string> names(static_cast<size_t>(count));
    for (std::string& name : names) {
        name.resize(kNameLength);
        for (char& c : name) {
            c = static_cast<char>('a' + letter(random));
        }
    }
    return names;
}

inline std::vector<double> MakeStamps(int count, std::mt19937& random) {
    std::uniform_real_distribution<double> day(40000.0, 50000.0);
    std::vector<double> stamps(static_cast<size_t>(count));
    for (double& stamp : stamps) {
        stamp = day(random);
    }
    return stamps;
}

// Sets the bench table's fields (Id, Name, Stamp) and indexes (Id primary, Name) on a
// closed table component.
inline void DefineBenchTable(tapir::engine::TSQLMemTable& table) {
    namespace te = tapir::engine;
    table.FieldDefs() = {{"Id", te::ftAutoInc, 0, false},
                         {"Name", te::ftString, kNameLength, false},
                         {"Stamp", te::ftDateTime, 0, false}};
    table.IndexDefs() = {{"Id", "Id", te::ixPrimary | te::ixUnique, "", ""},
                         {"Name", "Name", 0, "", ""}};
}

}  // namespace bench
