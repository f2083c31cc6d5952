#include "boxfiles/timer_writer.h"

#include <cstdio>
#include <memory>

#include "boxfiles/box_errors.h"
#include "boxfiles/text_lines.h"
#include "engine/table/field.h"

namespace tapir::boxfiles {

namespace {

// The content of a timer written in the usual form: an empty line between its tags.
constexpr char kUsualChildren[] = "\r\n";

std::string SecondsText(engine::TField& field, const platform::TimeConversionSettings& conversion,
                        const platform::LogSink& log) {
    return std::to_string(SecondsOfUtc(platform::LocalToUtc(field.AsDateTime(), conversion, log)));
}

// The value to write for a field that the row holds (changed, or of an appended row).
std::string AttributeValue(engine::TSQLMemTable& timers, const char* field_name,
                           const platform::TimeConversionSettings& conversion,
                           const platform::LogSink& log) {
    engine::TField& field = timers.FieldByName(field_name);
    if (field.DataType() == engine::TFieldType::ftDateTime) {
        return SecondsText(field, conversion, log);
    }
    return field.AsString();
}

std::string TimerName(const TimerElement& timer) {
    for (const char* attribute : {"name", "description", "serviceref"}) {
        if (const std::string* value = timer.Find(attribute); value != nullptr && !value->empty()) {
            return *value;
        }
    }
    return "(no name)";
}

std::string Joined(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names) {
        if (!text.empty()) {
            text += ", ";
        }
        text += '"' + name + '"';
    }
    return text;
}

std::string AttributeOr(const TimerElement& timer, std::string_view name) {
    const std::string* value = timer.Find(name);
    return value == nullptr ? std::string() : *value;
}

bool SameService(const TimerElement& a, const TimerElement& b) {
    return AsciiUpper(TrimControl(AttributeOr(a, "serviceref"))) ==
           AsciiUpper(TrimControl(AttributeOr(b, "serviceref")));
}

bool SameAttribute(const TimerElement& a, const TimerElement& b, std::string_view name) {
    const std::string* value_a = a.Find(name);
    const std::string* value_b = b.Find(name);
    return value_a != nullptr && value_b != nullptr && *value_a == *value_b;
}

bool SameTimes(const TimerElement& a, const TimerElement& b) {
    return SameService(a, b) && SameAttribute(a, b, "begin") && SameAttribute(a, b, "end");
}

bool SameEvent(const TimerElement& a, const TimerElement& b) {
    return SameService(a, b) && AtolValue(AttributeOr(a, "eit")) != 0 &&
           AtolValue(AttributeOr(a, "eit")) == AtolValue(AttributeOr(b, "eit"));
}

// A box moves one end of a timer (a longer margin, a moved event), rarely both.
bool SameBegin(const TimerElement& a, const TimerElement& b) {
    return SameService(a, b) && SameAttribute(a, b, "begin");
}

bool SameEnd(const TimerElement& a, const TimerElement& b) {
    return SameService(a, b) && SameAttribute(a, b, "end");
}

void WriteFile(const std::string& path, const std::string& text) {
    struct FileCloser {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "wb"));
    if (!file) {
        throw EFCreateError(path);
    }
    const bool written = std::fwrite(text.data(), 1, text.size(), file.get()) == text.size();
    const bool closed = std::fclose(file.release()) == 0;
    if (!written || !closed) {
        throw EWriteError();
    }
}

}  // namespace

std::vector<OurTimer> OurTimersOf(engine::TSQLMemTable& timers, const TimersAsRead* as_read,
                                  const platform::TimeConversionSettings& conversion,
                                  const platform::LogSink& log) {
    std::vector<OurTimer> result;
    const auto& names = TimerFieldNames();
    engine::TField& origin_field = timers.FieldByName("Origin");
    for (timers.First(); !timers.Eof(); timers.Next()) {
        OurTimer timer;
        const int64_t origin = origin_field.IsNull() ? 0 : origin_field.AsInteger();
        if (as_read != nullptr && origin >= 1 &&
            static_cast<std::size_t>(origin) <= as_read->timers.size()) {
            const auto index = static_cast<std::size_t>(origin - 1);
            timer.origin = index;
            timer.element = as_read->timers[index];
            const std::vector<TimerFieldValue> now = TimerRowValues(timers);
            const std::vector<TimerFieldValue>& then = as_read->read_values[index];
            // Without the values as read (not expected), every value counts as changed.
            const bool known = then.size() == names.size();
            for (std::size_t i = 0; i < names.size(); ++i) {
                if (known && now[i] == then[i]) {
                    continue;
                }
                timer.changed = true;
                // A time cleared in the table cannot be written; the one read stays.
                if (now[i].null && timers.FieldByName(names[i].field).DataType() ==
                                       engine::TFieldType::ftDateTime) {
                    continue;
                }
                timer.element.Set(names[i].attribute,
                                  AttributeValue(timers, names[i].field, conversion, log));
            }
        } else {
            for (const TimerFieldAttribute& name : names) {
                timer.element.attributes.push_back(
                    {name.attribute, AttributeValue(timers, name.field, conversion, log)});
            }
            timer.element.children = kUsualChildren;
        }
        result.push_back(std::move(timer));
    }
    return result;
}

std::string TimerMergeReport::LogText() const {
    if (!merged) {
        return "Timer list merge: no merge";
    }
    std::string text = "Timer list merge:";
    const auto add = [&](const char* label, const std::vector<std::string>& names) {
        if (!names.empty()) {
            text += std::string(" ") + label + " " + Joined(names) + ";";
        }
    };
    add("kept from the box", kept_from_box);
    add("taken from the box", updated_from_box);
    add("removed on the box", dropped_by_box);
    add("removed on the box, kept as you changed it", kept_yours);
    add("changed on both sides, yours written", conflicts);
    if (text.back() == ';') {
        text.pop_back();
    } else {
        text += " only your changes";
    }
    return text;
}

std::string TimerMergeReport::MessageText() const {
    if (!merged) {
        return {};
    }
    std::string text =
        "The timer list on the box changed since it was read. Your changes were merged with "
        "it:";
    const auto add = [&](const char* label, const std::vector<std::string>& names) {
        if (!names.empty()) {
            text += std::string("\n") + label + ": " + Joined(names);
        }
    };
    add("Timers added on the box, kept", kept_from_box);
    add("Timers changed on the box, taken from the box", updated_from_box);
    add("Timers removed on the box, left out", dropped_by_box);
    add("Timers removed on the box but changed by you, kept", kept_yours);
    add("Timers changed on the box and by you, your version written", conflicts);
    return text;
}

TimerMergeResult MergeTimerLists(const std::vector<TimerElement>& base,
                                 const std::vector<TimerElement>& box_now,
                                 const std::vector<OurTimer>& ours) {
    TimerMergeResult result;
    if (box_now == base) {
        for (const OurTimer& timer : ours) {
            result.timers.push_back(timer.element);
        }
        return result;
    }
    TimerMergeReport& report = result.report;
    report.merged = true;

    constexpr std::size_t kNone = static_cast<std::size_t>(-1);
    std::vector<std::size_t> box_of_base(base.size(), kNone);
    std::vector<bool> box_matched(box_now.size(), false);
    const auto match = [&](auto&& same) {
        for (std::size_t b = 0; b < base.size(); ++b) {
            if (box_of_base[b] != kNone) {
                continue;
            }
            for (std::size_t r = 0; r < box_now.size(); ++r) {
                if (!box_matched[r] && same(base[b], box_now[r])) {
                    box_of_base[b] = r;
                    box_matched[r] = true;
                    break;
                }
            }
        }
    };
    match([](const TimerElement& a, const TimerElement& b) { return a == b; });
    match(SameTimes);
    match(SameEvent);
    match(SameBegin);
    match(SameEnd);

    for (const OurTimer& timer : ours) {
        if (!timer.origin || *timer.origin >= base.size()) {
            result.timers.push_back(timer.element);
            continue;
        }
        const std::size_t b = *timer.origin;
        const std::size_t r = box_of_base[b];
        if (r == kNone) {
            if (timer.changed) {
                result.timers.push_back(timer.element);
                report.kept_yours.push_back(TimerName(timer.element));
            } else {
                report.dropped_by_box.push_back(TimerName(timer.element));
            }
            continue;
        }
        const bool box_changed = !(box_now[r] == base[b]);
        if (timer.changed) {
            result.timers.push_back(timer.element);
            if (box_changed) {
                report.conflicts.push_back(TimerName(timer.element));
            }
        } else {
            result.timers.push_back(box_now[r]);
            if (box_changed) {
                report.updated_from_box.push_back(TimerName(box_now[r]));
            }
        }
    }
    for (std::size_t r = 0; r < box_now.size(); ++r) {
        if (!box_matched[r]) {
            result.timers.push_back(box_now[r]);
            report.kept_from_box.push_back(TimerName(box_now[r]));
        }
    }
    return result;
}

TimerMergeReport WriteTimersFile(const std::string& path, engine::TSQLMemTable& timers,
                                 const platform::TimeConversionSettings& conversion,
                                 const platform::LogSink& log,
                                 std::optional<std::string_view> box_now) {
    const BoxTables* tables = BoxTablesOfTimers(timers);
    const TimersAsRead* as_read = tables == nullptr ? nullptr : &tables->TimersRead;
    std::vector<OurTimer> ours = OurTimersOf(timers, as_read, conversion, log);
    TimerMergeResult merge;
    if (box_now) {
        TimerList box_list = ParseTimerList(*box_now);
        if (box_list.error) {
            throw ETimerListError("on the box", box_list.error->reason, box_list.error->line);
        }
        static const TimersAsRead kNothingRead;
        merge = MergeTimerLists((as_read != nullptr ? *as_read : kNothingRead).timers,
                                box_list.timers, ours);
    } else {
        for (OurTimer& timer : ours) {
            merge.timers.push_back(std::move(timer.element));
        }
    }
    WriteFile(path, TimerListText(merge.timers));
    if (box_now && log) {
        log(merge.report.LogText());
    }
    return merge.report;
}

}  // namespace tapir::boxfiles
