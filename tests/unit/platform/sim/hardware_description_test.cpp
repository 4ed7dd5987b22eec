#include "platform/sim/hardware_description.h"

#include <gtest/gtest.h>

#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>

#include "platform/sim/file_watcher.h"
#include "platform/sim/hardware_journal.h"
#include "platform/sim/wmi_inventory.h"
#include "unit/platform/sim/test_support.h"
#include "wmi/wmi_tables.h"

namespace fenra::sim {
namespace {

class HardwareDescriptionTest : public ::testing::Test {
 protected:
  testing::ScratchDir dir_;
  std::filesystem::path file_ = dir_.path() / kHardwareFile;
  std::string error_;
};

TEST_F(HardwareDescriptionTest, SectionsOfOtherOwnersAndEditsSurvive) {
  std::ofstream(file_) << "// a person's notes\n{ \"bmc\": {\"revision\": \"01.23\"}, /* kept */\n"
                          "  \"wmi\": {\"modules\": [{\"name\": \"2\", \"type\": \"cpu\", \"state\": 1572887}]} }\n";
  ASSERT_TRUE(EnsureHardwareSection(file_, "wmi", BaselineWmiSection(), &error_)) << error_;
  nlohmann::json handed_back;
  ASSERT_TRUE(EnsureHardwareSection(file_, "driver", {{"version", "1.1.23.9"}}, &error_, &handed_back)) << error_;
  nlohmann::json document;
  ASSERT_TRUE(ReadHardwareDescription(file_, &document, &error_)) << error_;
  EXPECT_EQ(handed_back, document);
  EXPECT_EQ(document["bmc"]["revision"], "01.23");
  EXPECT_EQ(document["driver"]["version"], "1.1.23.9");
  SimWmiInventory inventory;
  ASSERT_TRUE(ParseWmiInventory(testing::ReadFile(file_), file_.string(), &inventory, &error_)) << error_;
  ASSERT_EQ(inventory.instances.size(), 1u);
  EXPECT_EQ(inventory.instances[0].state, STATE_TRIPLEX);
  EXPECT_EQ(inventory.instances[0].key, "cpu/2");
}

TEST_F(HardwareDescriptionTest, AFileThatCannotBeParsedIsNeverReplaced) {
  std::ofstream(file_) << "{ \"wmi\": ";
  EXPECT_FALSE(EnsureHardwareSection(file_, "bmc", nlohmann::json::object(), &error_));
  EXPECT_NE(error_.find(file_.string()), std::string::npos) << error_;
  EXPECT_EQ(testing::ReadFile(file_), "{ \"wmi\": ");
  std::ofstream(file_) << "[1, 2]";
  nlohmann::json document;
  EXPECT_FALSE(ReadHardwareDescription(file_, &document, &error_));
}

// A reader that looks less often than the tool writes still gets every
// change, in order, beside the file as it now stands.
TEST_F(HardwareDescriptionTest, TheJournalKeepsEveryChangeForAReaderThatLooksLate) {
  nlohmann::json baseline = {{"wmi", BaselineWmiSection()}};
  ASSERT_TRUE(WriteHardwareDescription(file_, baseline, &error_)) << error_;
  HardwareJournalReader reader(dir_.path());
  auto set = [&](const std::string& module, const std::string& state) {
    ASSERT_TRUE(EditHardware(
        dir_.path(),
        [&](nlohmann::json& document) {
          for (auto& entry : document["wmi"]["modules"])
            if (entry["name"] == module) entry["state"] = state;
          return std::vector<HardwareChange>{{"cpu/" + module, state}};
        },
        &error_))
        << error_;
  };
  for (int flap = 0; flap < 3; ++flap) {
    set("1", "REMOVED");
    set("1", "DUPLEX");
  }
  std::vector<HardwareChange> changes;
  SimWmiInventory inventory;
  ASSERT_EQ(reader.Read(&changes, &inventory, &error_), DescriptionRead::kChanged) << error_;
  std::vector<HardwareChange> expected;
  for (int flap = 0; flap < 3; ++flap) {
    expected.push_back({"cpu/1", "REMOVED"});
    expected.push_back({"cpu/1", "DUPLEX"});
  }
  EXPECT_EQ(changes, expected) << "the file alone ends as it began";
  EXPECT_EQ(inventory.instances.at(1).state, STATE_DUPLEX);

  // Nothing new: nothing told again. An edit that throws writes nothing.
  changes.clear();
  ASSERT_EQ(reader.Read(&changes, &inventory, &error_), DescriptionRead::kUnchanged);
  EXPECT_TRUE(changes.empty());
  EXPECT_THROW(EditHardware(dir_.path(), [](nlohmann::json&) -> std::vector<HardwareChange> {
    throw std::invalid_argument("no");
  }, &error_), std::invalid_argument);
  // A half-written line waits for its end; a line that is no change is
  // skipped; a journal replaced is read from its start.
  std::ofstream(dir_.path() / kHardwareJournalFile, std::ios::app) << "not json\n{\"key\": \"cpu/0\", \"sta";
  ASSERT_NE(reader.Read(&changes, &inventory, &error_), DescriptionRead::kRefused);
  EXPECT_TRUE(changes.empty());
  std::ofstream(dir_.path() / kHardwareJournalFile, std::ios::app) << "te\": \"SIMPLEX\"}\n";
  ASSERT_NE(reader.Read(&changes, &inventory, &error_), DescriptionRead::kRefused);
  EXPECT_EQ(changes, (std::vector<HardwareChange>{{"cpu/0", "SIMPLEX"}}));
  std::filesystem::remove(dir_.path() / kHardwareJournalFile);
  set("0", "BROKEN");
  changes.clear();
  ASSERT_NE(reader.Read(&changes, &inventory, &error_), DescriptionRead::kRefused);
  EXPECT_EQ(changes, (std::vector<HardwareChange>{{"cpu/0", "BROKEN"}}));

  EXPECT_EQ(JournalState("REMOVED"), STATE_REMOVED);
  EXPECT_EQ(JournalState("524309"), 524309);
  EXPECT_EQ(JournalState("half"), std::nullopt);
}

// The events of the watched files that the directory's notification holds
// now (the watcher's own mask), without waiting: the kernel queues them as
// the file is closed or renamed.
std::vector<std::string> PendingEvents(int notify) {
  std::vector<std::string> names;
  alignas(inotify_event) char buffer[4096];
  for (ssize_t got; (got = read(notify, buffer, sizeof(buffer))) > 0;)
    for (char* p = buffer; p < buffer + got; p += sizeof(inotify_event) + reinterpret_cast<inotify_event*>(p)->len) {
      auto* event = reinterpret_cast<inotify_event*>(p);
      if (event->len > 0) names.emplace_back(event->name);
    }
  return names;
}

// A service woken by the file system reads the journal and the description;
// its reading must not wake it again (a journal opened for writing does, on
// its close: the service read and re-reported the file thousands of times a
// second), and one bad edit is one report however often it looks.
TEST_F(HardwareDescriptionTest, ALookWakesNoWatcherAndABadEditIsToldOncePerText) {
  ASSERT_TRUE(WriteHardwareDescription(file_, {{"wmi", BaselineWmiSection()}}, &error_)) << error_;
  int notify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(notify, 0);
  ASSERT_GE(inotify_add_watch(notify, dir_.path().c_str(), FileWatcher::kWatchedEvents), 0);
  HardwareJournalReader reader(dir_.path());
  std::vector<HardwareChange> changes;
  SimWmiInventory inventory;
  auto look = [&] {
    error_.clear();
    DescriptionRead read = reader.Read(&changes, &inventory, &error_);
    EXPECT_EQ(PendingEvents(notify), std::vector<std::string>{}) << "the look itself woke the watcher";
    return read;
  };
  // A save by rename, as an editor makes it.
  std::string good = testing::ReadFile(file_);
  auto save = [&](const std::string& text) {
    testing::WriteFile(dir_.path() / "edit.tmp", text);
    std::filesystem::rename(dir_.path() / "edit.tmp", file_);
    PendingEvents(notify);
  };
  EXPECT_EQ(look(), DescriptionRead::kChanged);  // the journal is created here
  EXPECT_EQ(look(), DescriptionRead::kUnchanged);
  ASSERT_TRUE(EditHardware(
      dir_.path(), [](nlohmann::json&) { return std::vector<HardwareChange>{{"cpu/1", "REMOVED"}}; }, &error_));
  PendingEvents(notify);
  EXPECT_EQ(look(), DescriptionRead::kUnchanged) << "the text is the same; the journal's change is given";
  EXPECT_EQ(changes.size(), 1u);

  std::string unquoted = good;
  size_t at = unquoted.find("\"DUPLEX\"");
  unquoted.replace(at, 8, "DUPLEX");
  save(unquoted);
  ASSERT_EQ(look(), DescriptionRead::kRefused);
  // The place as an editor counts it, what was found, what to write.
  std::string place = std::to_string(std::count(good.begin(), good.begin() + static_cast<long>(at), '\n') + 1) + ":" +
                      std::to_string(at - good.rfind('\n', at));
  EXPECT_EQ(error_.rfind(file_.string() + ":" + place + ": syntax error while parsing value - invalid literal", 0), 0u)
      << error_;
  EXPECT_NE(error_.find("double quotes, as in \"state\": \"DUPLEX\""), std::string::npos) << error_;
  EXPECT_EQ(look(), DescriptionRead::kUnchanged);
  save(unquoted);  // saved again as it was: nothing new to say
  EXPECT_EQ(look(), DescriptionRead::kUnchanged);
  EXPECT_EQ(error_, "");
  save(good.substr(0, good.size() / 2));
  EXPECT_EQ(look(), DescriptionRead::kRefused);
  EXPECT_NE(error_.find("a } or ] is missing"), std::string::npos) << error_;
  save(good);
  EXPECT_EQ(look(), DescriptionRead::kChanged);
  save(unquoted);
  EXPECT_EQ(look(), DescriptionRead::kRefused) << "the same slip made again after a good text is a new edit";
  std::filesystem::remove(file_);
  EXPECT_EQ(look(), DescriptionRead::kRefused);
  EXPECT_EQ(error_, file_.string() + ": No such file or directory");
  EXPECT_EQ(look(), DescriptionRead::kUnchanged);
  close(notify);
}

TEST(WmiSection, MalformedEntriesAreNamed) {
  struct Case {
    const char* section;
    const char* message;
  };
  for (const Case& c : std::initializer_list<Case>{
           {R"({"modules": [{"name": "0", "type": "cpu", "state": "HALF"}]})", "wmi.modules[0]: unknown state \"HALF\""},
           {R"({"modules": [{"name": "0", "type": "disk"}]})", "wmi.modules[0]: \"type\""},
           {R"({"modules": [{"name": 0, "type": "cpu"}]})", "wmi.modules[0]: \"name\""},
           {R"({"modules": [{"name": "0", "type": "cpu"}, {"name": "0", "type": "cpu"}]})",
            "wmi.modules[1]: duplicate cpu/0"},
           {R"({"devices": [{"class": "DOD_CPUBoard", "name": "x"}]})", "wmi.devices[0]: \"class\""},
           {R"({"devices": [{"class": "DOD_Toaster", "name": "x"}]})", "wmi.devices[0]: \"class\""},
           {R"({"devices": {}})", "wmi.devices: must be an array"},
       }) {
    SimWmiInventory inventory;
    std::string error;
    EXPECT_FALSE(ParseWmiSection(nlohmann::json::parse(c.section), &inventory, &error)) << c.section;
    EXPECT_EQ(error.rfind(c.message, 0), 0u) << error;
  }
  SimWmiInventory inventory;
  std::string error;
  ASSERT_TRUE(ParseWmiSection(nlohmann::json::parse(
                                  R"({"devices": [{"class": "dod_scsislot", "name": "3", "module": "11", "state": null}]})"),
                              &inventory, &error));
  EXPECT_EQ(inventory.instances[0].classes, std::vector<std::string>{"DOD_SCSISlot"});
  EXPECT_EQ(inventory.instances[0].device_path, "{11,DOD_SCSISlot,3}");
  EXPECT_FALSE(inventory.instances[0].state.has_value());
}

}  // namespace
}  // namespace fenra::sim
