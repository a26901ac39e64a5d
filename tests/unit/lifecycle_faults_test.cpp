// Lifecycle and serial faults that only a substitute back end shows on
// demand (substitute_backend.h: handle values reused, slow or failing
// steps). Built into the native suite and into the Windows test program, so
// that each case runs on both platforms.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <thread>

#include "serial/serial_port.h"
#include "substitute_backend.h"
#include "test_host.h"

using namespace std::chrono_literals;

namespace {

struct LifecycleFaults;
struct Fault {
    const char *name;
    void (*run)(LifecycleFaults &test);
};

struct LifecycleFaults : testing::TestWithParam<Fault> {
    int32_t Call(uint32_t operation, void *request = nullptr) { return zeltest::Call(channel, operation, request, 1); }
    int32_t Open(uint32_t readTimeout = 5) {
        OpenChannelRequest request{};
        std::strcpy(request.portName, "SUB");
        request.enabled = 1;
        request.readTimeout = readTimeout;
        request.lineSettings = {9600, 8, 0, 0};
        return Call(ZEL_OP_OPEN_CHANNEL, &request);
    }
    bool WaitFor(const std::function<bool()> &done) {
        const auto end = std::chrono::steady_clock::now() + 3s;
        while (!done()) {
            if (std::chrono::steady_clock::now() > end) return false;
            std::this_thread::sleep_for(5ms);
        }
        return true;
    }
    void OpenAndWaitForThread() {
        ASSERT_EQ(Open(), ZEL_OK);
        ASSERT_TRUE(WaitFor([&] { return log.Count(32, "ZelQX : Start Unsoliceted Thread") == 1; }));
        std::this_thread::sleep_for(1100ms);
    }
    zeltest::SubstituteBackend line;
    zeltest::LogCapture log;
    ChannelBlock *channel = zeltest::NewChannelBlock();
};

const std::string kEvent = "\r\nhhhhhhhhhS1000000010000000000000000";  // sets 0101001 bit 0

const Fault kFaults[] = {
    // OpenChannel after ClosePort, with reception running: an event waiting
    // on the line is not wiped by the table's clear (the port is installed
    // last), and the first read already has the channel's own time-out.
    {"OpenChannelInstallsThePortLast",
     [](LifecycleFaults &t) {
         t.OpenAndWaitForThread();
         ASSERT_EQ(t.Call(ZEL_OP_CLOSE_PORT), ZEL_OK);
         zeltest::Line().slowTimeoutsMs = 300;
         zeltest::Line().firstReadTimeoutMs = 0xFFFFFFFF;
         t.line.Send(kEvent);
         ASSERT_EQ(t.Open(), ZEL_OK);
         EXPECT_TRUE(t.WaitFor([&] { return zeltest::ReadTagValue(t.channel, "0101001") == 1; }));
         EXPECT_EQ(zeltest::Line().firstReadTimeoutMs.load(), 50u);
     }},
    // ClosePort and ReopenPort racing on one channel, while the device's
    // handle values come back: the channel never loses an open port.
    {"RacingCloseAndReopenNeverLoseAPort",
     [](LifecycleFaults &t) {
         t.OpenAndWaitForThread();
         std::thread closer([&] {
             for (int i = 0; i < 2000; ++i) t.Call(ZEL_OP_CLOSE_PORT);
         });
         for (int i = 0; i < 2000; ++i) t.Call(ZEL_OP_REOPEN_PORT);
         closer.join();
         ASSERT_EQ(t.Call(ZEL_OP_CLOSE_PORT), ZEL_OK);
         EXPECT_EQ(zeltest::Line().opens.load(), zeltest::Line().closes.load()) << "no handle left open";
         EXPECT_EQ(t.Call(ZEL_OP_REOPEN_PORT), ZEL_OK) << "the exclusive device is free again";
     }},
    // A read time-out of 0 ("wait for the full count") survives a purge.
    {"PurgeRestoresAReadTimeoutOfZero",
     [](LifecycleFaults &t) {
         zel::PortHandle port = 0;
         ASSERT_EQ(zel::OpenSerialPort("SUB", {9600, 8, 0, 0}, 0x4333, &port), zel::kSerialOk);
         zel::SetReadTimeout(port, 0);
         t.line.Send(std::string(100, 'p'));
         EXPECT_EQ(zel::PurgeSerialInput(port), zel::kSerialOk);
         uint32_t timeout = 99;
         EXPECT_TRUE(zel::ReadTimeoutMilliseconds(port, &timeout));
         EXPECT_EQ(timeout, 0u);
         zel::CloseSerialPort(port);
     }},
    // A close that released the device but reported an error (Linux's
    // close() does that) closes the port: logged, and the port opens again.
    {"AReleasingCloseWithAnErrorCountsAsClosed",
     [](LifecycleFaults &t) {
         ASSERT_EQ(t.Open(), ZEL_OK);
         zeltest::Line().closeError = 5;
         EXPECT_EQ(t.Call(ZEL_OP_CLOSE_PORT), ZEL_OK);
         EXPECT_EQ(zeltest::PortOf(t.channel), 0u);
         EXPECT_EQ(t.log.Count(32, "ZELQuon : Closing SUB reported error 5; the port is released"), 1);
         EXPECT_EQ(t.Open(), ZEL_OK);
     }},
    // A second close while the first is closing answers as the first does.
    {"ASecondCloseAnswersAsTheFirst",
     [](LifecycleFaults &t) {
         for (const int failures : {0, 1}) {
             zel::PortHandle port = 0;
             ASSERT_EQ(zel::OpenSerialPort("SUB", {9600, 8, 0, 0}, 0x4333, &port), zel::kSerialOk);
             zeltest::Line().slowCloseMs = 200;
             zeltest::Line().closeFailures = failures;
             std::atomic<int32_t> first{-1};
             std::thread closer([&] { first = zel::CloseSerialPort(port); });
             std::this_thread::sleep_for(50ms);
             const int32_t second = zel::CloseSerialPort(port);
             closer.join();
             EXPECT_EQ(second, first.load()) << failures << " failed closes";
             zeltest::Line().slowCloseMs = 0;
             if (failures != 0) {
                 EXPECT_EQ(zel::CloseSerialPort(port), zel::kSerialOk);
             }
         }
         (void)t;
     }},
};

TEST_P(LifecycleFaults, SoundBehaviour) { GetParam().run(*this); }

INSTANTIATE_TEST_SUITE_P(Cases, LifecycleFaults, testing::ValuesIn(kFaults),
                         [](const testing::TestParamInfo<Fault> &info) { return std::string(info.param.name); });

}  // namespace
