// A backend put together from parts: how the part is chosen from its table, how lasting idle
// failures are reported, and the order in which the parts go.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/ComposedBackend.h"
#include "platform/Provider.h"

namespace {

using platform::IdleLookup;

struct Part {
  virtual ~Part() = default;
};
struct Context {
  std::vector<std::string> connected;  // ids in the order they were asked to connect
};

template <const char* Why>
std::string probeSays(const Context&) {
  return Why;
}
std::string probeOk(const Context&) { return ""; }

std::unique_ptr<Part> connectOk(Context& c, std::string&) {
  c.connected.push_back("ok");
  return std::make_unique<Part>();
}
std::unique_ptr<Part> connectFails(Context& c, std::string& whyNot) {
  c.connected.push_back("fails");
  whyNot = "server lacks it";
  return nullptr;
}

constexpr char kNoDisplay[] = "DISPLAY is not set";
using P = platform::Provider<Part, Context>;
const P kTable[] = {
    {"absent", "", probeSays<kNoDisplay>, connectOk},
    {"broken", "", probeOk, connectFails},
    {"works", "", probeOk, connectOk},
    {"later", "", probeOk, connectOk},
};

TEST(ChooseProvider, AProviderByNameOnlyIsPassedByAutoAndTakenWhenNamed) {
  Context c;
  const P table[] = {{"special", "", probeOk, connectOk, true}, kTable[1], kTable[2]};
  auto choice = platform::choose<Part, Context>(table, "auto", c);
  EXPECT_EQ(choice.id, "works");
  EXPECT_EQ(choice.failures, "broken: server lacks it");
  auto named = platform::choose<Part, Context>(table, "special", c);
  EXPECT_EQ(named.id, "special");
}

TEST(ChooseProvider, AutoTakesTheFirstThatWorksAndNeverConnectsWhatFailedItsProbe) {
  Context c;
  auto choice = platform::choose<Part, Context>(kTable, "auto", c);
  ASSERT_TRUE(choice.part);
  EXPECT_EQ(choice.id, "works");
  EXPECT_EQ(c.connected, (std::vector<std::string>{"fails", "ok"}));
  EXPECT_EQ(choice.failures, "absent: DISPLAY is not set; broken: server lacks it");
}

TEST(ChooseProvider, ANamedProviderIsTheOnlyOneTriedAndSaysWhyItFailed) {
  Context c;
  auto named = platform::choose<Part, Context>(kTable, "broken", c);
  EXPECT_FALSE(named.part);
  EXPECT_EQ(named.failures, "broken: server lacks it");
  EXPECT_EQ(c.connected, std::vector<std::string>{"fails"});

  auto later = platform::choose<Part, Context>(kTable, "later", c);
  EXPECT_EQ(later.id, "later");

  auto unknown = platform::choose<Part, Context>(kTable, "nonesuch", c);
  EXPECT_FALSE(unknown.part);
  EXPECT_EQ(unknown.failures, "nonesuch: unknown");
  EXPECT_TRUE((platform::isProvider<Part, Context>(kTable, "auto")));
  EXPECT_FALSE((platform::isProvider<Part, Context>(kTable, "nonesuch")));
}

TEST(ChooseProvider, NothingWorksListsEveryReasonInTableOrder) {
  Context c;
  const P table[] = {kTable[0], kTable[1]};
  auto choice = platform::choose<Part, Context>(table, "auto", c);
  EXPECT_FALSE(choice.part);
  EXPECT_EQ(choice.failures, "absent: DISPLAY is not set; broken: server lacks it");
}

// Parts that write what happens to them into one shared log.
struct Log {
  std::vector<std::string> lines;
};

struct LoggedLoop final : platform::EventLoop {
  explicit LoggedLoop(Log& log) : log(log) {}
  ~LoggedLoop() override { log.lines.push_back("loop gone"); }
  double wallClockNow() override { return 0; }
  platform::RunLoop& runLoop() override { return loop; }
  void run() override {}
  Log& log;
  platform::RunLoop loop{[] { return 0.0; }};
};

struct LoggedBar final : platform::StatusBar {
  explicit LoggedBar(Log& log) : log(log) {}
  ~LoggedBar() override { log.lines.push_back("bar gone"); }
  std::unique_ptr<platform::StatusItem> statusItemWithLength(double) override { return nullptr; }
  void writeMessageLine(std::string_view line) override { log.lines.emplace_back(line); }
  Log& log;
};

struct ScriptedSource final : platform::IdleSource {
  ScriptedSource(Log& log, std::vector<IdleLookup> script) : log(log), script(std::move(script)) {}
  ~ScriptedSource() override { log.lines.push_back("source gone"); }
  IdleLookup lookUpIdleTime() override { return script.at(next++); }
  Log& log;
  std::vector<IdleLookup> script;
  std::size_t next = 0;
};

TEST(ComposedBackend, ALastingIdleFailureIsReportedWhenItBeginsAndAfterEachRecovery) {
  Log log;
  const IdleLookup bad = IdleLookup::unavailable(), good = IdleLookup::nanoseconds(5);
  {
    platform::ComposedBackend backend(
        std::make_unique<LoggedLoop>(log), std::make_unique<LoggedBar>(log),
        std::make_unique<ScriptedSource>(log, std::vector{bad, bad, bad, good, bad, bad}));
    std::string seen;
    for (int i = 0; i < 6; ++i) {
      const std::size_t before = log.lines.size();
      const bool found = backend.lookUpIdleTime().outcome == IdleLookup::Outcome::found;
      if (!found) backend.writeMessageLine("Can't find idle time");
      seen += found ? 'f' : log.lines.size() > before ? 'w' : 'm';
    }
    EXPECT_EQ(seen, "wmmfwm");
  }
  // The bar and the source may hold sources of the loop: they go first.
  const std::vector<std::string> tail(log.lines.end() - 3, log.lines.end());
  EXPECT_EQ(tail, (std::vector<std::string>{"source gone", "bar gone", "loop gone"}));
}

TEST(FailureFilter, ReportsWhenAFailureBeginsAndAgainOnlyAfterASuccess) {
  platform::FailureFilter filter;
  std::string muted;
  for (bool failed : {true, true, true, false, false, true, true, false, true}) {
    filter.attempted(failed);
    muted += filter.mute() ? 'm' : '.';
  }
  EXPECT_EQ(muted, ".mm...m..");
}

}  // namespace
