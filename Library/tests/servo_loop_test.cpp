// The servo loop against a scripted arm on a pseudo-terminal: how each way a line can go
// wrong ends the loop (in time, with zero force last, the port given back), what the
// watchdog lets out, what configurations it refuses, and what a forked child may do.
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Orvane/HardwareAPI/Protocol.h"
#include "Orvane/HardwareAPI/ServoLoop.h"
#include "PtyPair.h"
#include "TightAddressSpace.h"

namespace {

namespace Arm = Orvane::HardwareAPI::Protocol::Arm;
namespace Protocol = Orvane::HardwareAPI::Protocol;
using namespace Orvane::HardwareAPI::Haptics;
using Orvane::HardwareAPI::Error;
using Orvane::HardwareAPI::ErrorKind;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

double Since(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

// What the arm does with force requests once it has answered `good` of them.
enum class Mode { Answer, Silent, Trickle, WrongHeader, Chatter, HangUp };

struct Request {
    Clock::time_point at;
    float force[3];
};

class ScriptedArm {
public:
    // `position`: where the arm says it is in every state reply.
    ScriptedArm(Mode mode, int good, std::array<float, 3> position = {})
        : mode_(mode), good_(good), position_(position) {
        thread_ = std::thread([this] { Serve(); });
    }
    ~ScriptedArm() {
        stop_ = true;
        thread_.join();
    }
    const std::string& path() const { return pty_.path(); }
    OrvaneTest::PtyPair& pty() { return pty_; }
    void Answer() { mode_ = Mode::Answer; }

    std::vector<Request> Requests() {
        std::lock_guard<std::mutex> hold(mutex_);
        return requests_;
    }
    // When the last state reply went out whole.
    Clock::time_point LastReply() {
        std::lock_guard<std::mutex> hold(mutex_);
        return last_reply_;
    }

private:
    Bytes StateReply() const {
        Bytes r(1 + Arm::kStatePayload, 0);
        r[0] = Arm::kEndEffectorState;
        std::memcpy(r.data() + 1, position_.data(), sizeof(float) * 3);
        return r;
    }

    void Reply(const Bytes& bytes) {
        if (mode_ == Mode::Trickle && answered_ >= good_) {
            for (std::uint8_t b : bytes) {
                if (stop_)
                    return;
                pty_.Send({b});
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            return;
        }
        pty_.Send(bytes);
    }

    void Serve() {
        Bytes pending;
        Clock::time_point next_chatter = Clock::now();
        while (!stop_) {
            const bool failing = answered_ >= good_ && mode_ != Mode::Answer;
            if (failing && mode_ == Mode::Chatter && Clock::now() >= next_chatter) {
                pty_.Send({0x51});
                next_chatter += std::chrono::milliseconds(100);
            }
            if (failing && mode_ == Mode::HangUp) {
                pty_.HangUp();
                return;
            }
            const Bytes in = pty_.Expect(1, 5);
            pending.insert(pending.end(), in.begin(), in.end());
            if (pending.empty())
                continue;
            if (pending[0] == Arm::kWakeup) {
                pending.erase(pending.begin());
                Bytes info(1 + Arm::kDeviceInfoPayload, 0);
                info[0] = Arm::kDeviceInfo;
                info[1 + Arm::kInfoModelNumber] = Arm::kArmModelNumber;
                pty_.Send(info);
                continue;
            }
            if (pending.size() < Arm::kVectorRequestSize)
                continue;
            Request r{Clock::now(), {}};
            Protocol::GetF32x3(pending.data() + Arm::kVectorOffset, r.force);
            pending.erase(pending.begin(), pending.begin() + Arm::kVectorRequestSize);
            {
                std::lock_guard<std::mutex> hold(mutex_);
                requests_.push_back(r);
            }
            if (answered_ < good_ || mode_ == Mode::Answer || mode_ == Mode::Trickle) {
                Reply(StateReply());
                ++answered_;
                std::lock_guard<std::mutex> hold(mutex_);
                if (mode_ == Mode::Answer || answered_ <= good_)
                    last_reply_ = Clock::now();
            } else if (mode_ == Mode::WrongHeader) {
                pty_.Send({0x1B});
            }
        }
    }

    OrvaneTest::PtyPair pty_;
    std::atomic<Mode> mode_;
    const int good_;
    const std::array<float, 3> position_;
    std::atomic<int> answered_{0};
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<Request> requests_;
    Clock::time_point last_reply_{};
    std::thread thread_;
};

bool WaitFor(const std::function<bool()>& done, double seconds) {
    const auto begun = Clock::now();
    while (!done()) {
        if (Since(begun) > seconds)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

ServoConfig Quiet(double rate_hz, double reply_timeout_s) {
    ServoConfig c;
    c.rate_hz = rate_hz;
    c.realtime = false;
    c.reply_timeout_s = reply_timeout_s;
    c.watchdog_s = std::max(c.watchdog_s, reply_timeout_s + 1.0 / rate_hz);
    return c;
}

struct LineFault {
    Mode mode;
    double reply_timeout_s;
    const char* text;
};

class ServoLoopLineFault : public testing::TestWithParam<LineFault> {};

// However the line goes wrong, the loop ends within the reply time-out and one period of
// the last good reply, says what happened, sends zero last and gives the port back.
TEST_P(ServoLoopLineFault, EndsInTimeWithZeroAndFreesThePort) {
    const LineFault f = GetParam();
    ScriptedArm arm(f.mode, 20);
    const ServoConfig config = Quiet(500.0, f.reply_timeout_s);
    {
        ServoLoop loop(arm.path(), config);
        ASSERT_FALSE(loop.Fault()) << loop.Fault().message;
        ASSERT_FALSE(loop.Start());
        ASSERT_TRUE(WaitFor([&] { return loop.Closed(); }, 3.0));
        const double stall = std::chrono::duration<double>(Clock::now() - arm.LastReply()).count();
        EXPECT_LT(stall, f.reply_timeout_s + 1.0 / config.rate_hz + 0.05);
        EXPECT_EQ(loop.Fault().kind, ErrorKind::DeviceLost);
        EXPECT_NE(loop.Fault().message.find(f.text), std::string::npos) << loop.Fault().message;
        // The opening state took one reply; a hang-up may take the last with it.
        EXPECT_LE(loop.Stats().cycles, 19u);
        EXPECT_GE(loop.Stats().cycles, 18u);
        EXPECT_GE(loop.Stats().exchange_us.max, f.mode == Mode::Silent ? 99e3 : 0.0);
        EXPECT_FALSE(loop.Running());
        EXPECT_EQ(loop.SetForce({1, 0, 0}).kind, ErrorKind::NotRunning);
        EXPECT_EQ(loop.Start().kind, ErrorKind::NotRunning);
    }
    if (f.mode == Mode::HangUp)
        return;
    // The trickled replies to the failed request and to the final zero run out.
    std::this_thread::sleep_for(std::chrono::milliseconds(f.mode == Mode::Trickle ? 1500 : 50));
    const std::vector<Request> sent = arm.Requests();
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent.back().force[0], 0.0f);
    arm.Answer();
    ServoLoop again(arm.path(), config);
    EXPECT_FALSE(again.Fault()) << again.Fault().message;
    EXPECT_FALSE(again.Start());
}

INSTANTIATE_TEST_SUITE_P(
    Lines, ServoLoopLineFault,
    testing::Values(LineFault{Mode::Silent, 0.1,
                              "0 of the 25 bytes of a state reply within 100 ms"},
                    LineFault{Mode::Trickle, 0.1, "of the 25 bytes of a state reply within 100 ms"},
                    LineFault{Mode::WrongHeader, 0.1, "header 0x1B"},
                    LineFault{Mode::Chatter, 0.25, "header 0x51"},
                    LineFault{Mode::HangUp, 0.1, "lost"}));

// A force set once ramps out by watchdog_s + watchdog_ramp_s after it was set, however
// late in a slow cycle the loop picks it up.
TEST(ServoLoopWatchdog, CountsFromTheSet) {
    ScriptedArm arm(Mode::Answer, 0);
    ServoConfig config = Quiet(20.0, 0.04);
    config.watchdog_s = 0.1;
    config.watchdog_ramp_s = 0.05;
    ServoLoop loop(arm.path(), config);
    ASSERT_FALSE(loop.Start());
    ASSERT_TRUE(WaitFor([&] { return loop.Stats().cycles >= 2; }, 2.0));
    const auto set = Clock::now();
    ASSERT_FALSE(loop.SetForce({1.0, 0.0, 0.0}));
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    loop.Stop();
    Clock::time_point last_push{};
    for (const Request& r : arm.Requests()) {
        if (r.force[0] != 0.0f)
            last_push = r.at;
    }
    ASSERT_GT(last_push, set);
    EXPECT_LT(std::chrono::duration<double>(last_push - set).count(), 0.15 + 0.005);
    EXPECT_EQ(loop.Stats().watchdog_trips, 1u);
}

// No force from a state the arm never sent: the constructor reads the arm's state with a
// zero-force request, Start returns after the loop's first reply (or fails without one), and
// a spring away from the arm eases in instead of kicking it.
TEST(ServoLoopFirstState, IsMeasuredBeforeAnyForceAndSpringsEaseIn) {
    ScriptedArm arm(Mode::Answer, 0, {0.1f, -0.2f, 0.3f});
    ServoLoop loop(arm.path(), Quiet(500.0, 0.05));
    EXPECT_EQ(loop.State().position, (Vec3{0.1f, -0.2f, 0.3f}));
    ASSERT_FALSE(loop.Start());
    EXPECT_GE(loop.State().sequence, 1u);
    const auto added = Clock::now();
    EffectId id = 0;
    ASSERT_FALSE(loop.Add(Spring{{0, 0, 0}, 10.0, 0.0}, id));  // 1 N along x in full
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    loop.Stop();
    std::vector<float> pushes;
    for (const Request& r : arm.Requests())
        if (r.at > added && r.force[0] != 0.0f)
            pushes.push_back(-r.force[0]);
    EXPECT_EQ(arm.Requests()[0].force[0], 0.0f);
    ASSERT_GT(pushes.size(), 10u);
    EXPECT_LT(pushes.front(), 0.5f);
    EXPECT_TRUE(std::is_sorted(pushes.begin(), pushes.end()));
    EXPECT_NEAR(pushes.back(), 1.0f, 1e-5f);

    ScriptedArm silent(Mode::Silent, 1);  // answers the constructor's request only
    ServoLoop failing(silent.path(), Quiet(500.0, 0.05));
    ASSERT_FALSE(failing.SetForce({1.0, 0.0, 0.0}));
    EXPECT_EQ(failing.Start().kind, ErrorKind::DeviceLost);
    EXPECT_TRUE(failing.Closed());
    for (const Request& r : silent.Requests())
        EXPECT_EQ(r.force[0], 0.0f);
}

struct Refused {
    const char* what;
    void (*change)(ServoConfig&);
};

class ServoLoopConfig : public testing::TestWithParam<Refused> {};

TEST_P(ServoLoopConfig, RefusesWithABadArgument) {
    ServoConfig c;
    GetParam().change(c);
    const Error refused = CheckConfig(c);
    EXPECT_EQ(refused.kind, ErrorKind::BadArgument);
    EXPECT_NE(refused.message.find(GetParam().what), std::string::npos) << refused.message;
    ServoLoop loop("/dev/orvane-never-opened", c);
    EXPECT_EQ(loop.Fault().kind, ErrorKind::BadArgument);
    EXPECT_TRUE(loop.Closed());
}

INSTANTIATE_TEST_SUITE_P(
    Values, ServoLoopConfig,
    testing::Values(Refused{"rate_hz", [](ServoConfig& c) { c.rate_hz = 1e-10; }},
                    Refused{"rate_hz", [](ServoConfig& c) { c.rate_hz = 1e6; }},
                    Refused{"rate_hz", [](ServoConfig& c) { c.rate_hz = NAN; }},
                    Refused{"watchdog", [](ServoConfig& c) { c.rate_hz = 0.5; }},
                    Refused{"max_force", [](ServoConfig& c) { c.max_force = 1e39; }},
                    Refused{"history", [](ServoConfig& c) { c.history = SIZE_MAX; }},
                    Refused{"spin_us", [](ServoConfig& c) { c.spin_us = -1; }},
                    // 0 never turns a safety setting off.
                    Refused{"watchdog_s", [](ServoConfig& c) { c.watchdog_s = 0.0; }},
                    Refused{"watchdog_s", [](ServoConfig& c) { c.watchdog_s = NAN; }},
                    Refused{"watchdog_s", [](ServoConfig& c) { c.watchdog_s = 1e9; }},
                    Refused{"watchdog_ramp_s", [](ServoConfig& c) { c.watchdog_ramp_s = 1e9; }},
                    Refused{"max_speed", [](ServoConfig& c) { c.max_speed = 0.0; }},
                    Refused{"max_speed", [](ServoConfig& c) { c.max_speed = 1e9; }},
                    Refused{"brake_damping", [](ServoConfig& c) { c.brake_damping = 0.0; }},
                    Refused{"reply_timeout_s", [](ServoConfig& c) { c.reply_timeout_s = 0.1; }}));

TEST(ServoLoopConfig, TakesASlowRateWithoutWatchdog) {
    ServoConfig c;
    c.rate_hz = 0.5;
    c.watchdog_s = kOff;
    c.reply_timeout_s = 10.0;
    EXPECT_FALSE(CheckConfig(c)) << CheckConfig(c).message;
}

TEST(ServoLoopLifecycle, RefusesChangesAfterStop) {
    ScriptedArm arm(Mode::Answer, 0);
    ServoLoop loop(arm.path(), Quiet(500.0, 0.1));
    EffectId id = 0;
    ASSERT_FALSE(loop.Add(Spring{}, id));
    EXPECT_EQ(loop.Add(Wall{{0, 0, 0}, {0, 0, 0}, 1, 0}, id).kind, ErrorKind::BadArgument);
    loop.Stop();
    EXPECT_TRUE(loop.Closed());
    EXPECT_EQ(loop.SetForce({0, 0, 1}).kind, ErrorKind::NotRunning);
    EXPECT_EQ(loop.Add(Damper{1.0}, id).kind, ErrorKind::NotRunning);
    EXPECT_EQ(loop.Update(1, Damper{1.0}).kind, ErrorKind::NotRunning);
    EXPECT_EQ(loop.Start().kind, ErrorKind::NotRunning);
    EXPECT_FALSE(loop.Fault());
}

// An id that names nothing is NotFound on every call that takes one; taking effects and
// couplings out still works once the loop was stopped.
TEST(ServoLoopLifecycle, IdsThatNameNothingAreNotFound) {
    ScriptedArm arm(Mode::Answer, 0);
    ServoLoop loop(arm.path(), Quiet(500.0, 0.1));
    EffectId spring = 0, damper = 0;
    ASSERT_FALSE(loop.Add(Spring{{}, 10.0, 0.0}, spring));
    ASSERT_FALSE(loop.Add(Damper{1.0}, damper));
    Effect e;
    ASSERT_FALSE(loop.Get(spring, e));
    EXPECT_EQ(std::get<Spring>(e).stiffness, 10.0);
    ASSERT_FALSE(loop.Remove(spring));
    EXPECT_FALSE(loop.Active(spring));
    for (const EffectId gone : {spring, EffectId{0}}) {
        EXPECT_EQ(loop.Remove(gone).kind, ErrorKind::NotFound);
        EXPECT_EQ(loop.Get(gone, e).kind, ErrorKind::NotFound);
        const Error update = loop.Update(gone, Damper{1.0});
        EXPECT_EQ(update.kind, ErrorKind::NotFound);
        EXPECT_EQ(update.message, "the effect was removed from its loop");
    }
    // A bad value is named before an id that names nothing.
    EXPECT_EQ(loop.Update(spring, Damper{-1.0}).kind, ErrorKind::BadArgument);

    CouplingId coupling = 0, kept = 0;
    ASSERT_FALSE(loop.AddCoupling(CouplingParams{}, coupling));
    ASSERT_FALSE(loop.AddCoupling(CouplingParams{}, kept));
    CouplingState state;
    ASSERT_FALSE(loop.CouplingStateOf(coupling, state));
    ASSERT_FALSE(loop.RemoveCoupling(coupling));
    EXPECT_EQ(loop.RemoveCoupling(coupling).kind, ErrorKind::NotFound);
    EXPECT_EQ(loop.CouplingStateOf(coupling, state).kind, ErrorKind::NotFound);
    EXPECT_EQ(loop.SetCouplingParams(coupling, CouplingParams{}).kind, ErrorKind::NotFound);
    EXPECT_EQ(loop.MoveCouplingTarget(coupling, {{}, {}, 1}).kind, ErrorKind::NotFound);

    loop.Stop();
    EXPECT_FALSE(loop.Remove(damper));
    EXPECT_FALSE(loop.RemoveCoupling(kept));
    EXPECT_EQ(loop.Remove(damper).kind, ErrorKind::NotFound);
}

// A system that refuses the loop its thread ends the loop with zero force, and says so.
TEST(ServoLoopLifecycle, ARefusedThreadEndsTheLoopWithZeroForce) {
    if (std::getenv("ORVANE_SANITIZED") != nullptr || !OrvaneTest::TightAddressSpace::Possible()) {
        GTEST_SKIP() << "no address space to take away (the sanitizers' mappings need it)";
    }
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            ScriptedArm arm(Mode::Answer, 0);
            ServoLoop loop(arm.path(), Quiet(500.0, 0.1));  // one request: the opening one
            Error refused;
            {
                const OrvaneTest::TightAddressSpace tight;
                refused = loop.Start();
            }
            std::vector<Request> sent = arm.Requests();
            for (int i = 0; i < 200 && sent.size() < 2; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
                sent = arm.Requests();
            }
            const bool zero = sent.size() == 2 && sent[1].force[0] == 0.0f &&
                              sent[1].force[1] == 0.0f && sent[1].force[2] == 0.0f;
            std::fprintf(stderr, "out of resources: %d, %s; fault: %d; closed: %d; zero: %d\n",
                         refused.kind == ErrorKind::OutOfResources, refused.message.c_str(),
                         loop.Fault().kind == ErrorKind::OutOfResources, loop.Closed(), zero);
            std::exit(0);
        },
        testing::ExitedWithCode(0),
        "out of resources: 1, the servo loop ended: the system refused a thread for the loop; "
        "fault: 1; closed: 1; zero: 1");
}

// A program's exit stops every loop still there, each ending on zero force; a loop already
// destroyed is not reached.
TEST(ServoLoopLifecycle, StopAllEndsEveryOpenLoopOnZero) {
    ScriptedArm a(Mode::Answer, 0), b(Mode::Answer, 0), gone(Mode::Answer, 0);
    ServoLoop first(a.path(), Quiet(500.0, 0.1));
    ServoLoop second(b.path(), Quiet(500.0, 0.1));
    { ServoLoop destroyed(gone.path(), Quiet(500.0, 0.1)); }
    ASSERT_FALSE(first.Start());
    ASSERT_FALSE(second.Start());
    ASSERT_FALSE(first.SetForce({0.5, 0, 0}));
    ASSERT_TRUE(WaitFor([&] { return a.Requests().back().force[0] == 0.5f; }, 5.0));
    StopAllServoLoops();
    for (ScriptedArm* arm : {&a, &b}) {
        const Request last = arm->Requests().back();
        EXPECT_EQ(std::vector<float>(last.force, last.force + 3), std::vector<float>(3, 0.0f));
    }
    EXPECT_TRUE(first.Closed());
    EXPECT_TRUE(second.Closed());
}

// A forked child neither uses nor disturbs the parent's loop: it is not running there,
// refuses every change, and its end leaves the port exclusive and the arm pushing.
TEST(ServoLoopFork, ChildLeavesTheParentsLoopAlone) {
    ScriptedArm arm(Mode::Answer, 0);
    ServoConfig config = Quiet(500.0, 0.1);
    config.watchdog_s = kOff;
    auto loop = std::make_unique<ServoLoop>(arm.path(), config);
    ASSERT_FALSE(loop->Start());
    ASSERT_FALSE(loop->SetForce({0.5, 0.0, 0.0}));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const pid_t child = fork();
    if (child == 0) {
        const bool ok = !loop->Running() && loop->Closed() &&
                        loop->SetForce({0, 0, 0}).kind == ErrorKind::NotRunning &&
                        loop->Start().kind == ErrorKind::NotRunning;
        loop->Stop();
        loop.reset();
        _exit(ok ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    const auto after = Clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    int exclusive = 0;
    ASSERT_EQ(ioctl(arm.pty().slave(), TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 1);
    EXPECT_TRUE(loop->Running());
    for (const Request& r : arm.Requests()) {
        if (r.at > after)
            EXPECT_EQ(r.force[0], 0.5f);
    }
}

}  // namespace
