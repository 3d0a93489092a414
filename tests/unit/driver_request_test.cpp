#include "radio/driver_request.h"

#include <gtest/gtest-spi.h>

#include "platform/win32_api.h"
#include "sim_test.h"

namespace {

const char kPath[] = "\\\\.\\{11111111-2222-3333-4444-555555555555}";

class DriverRequest : public SimTest {
protected:
    DriverReply reply{-1, 0xDEAD};

    sim::SimDevice& Device() { return Sim().AddDevice(kPath); }
};

// A base with none of the flag bits, so each row shows which flag was set.
const DWORD kBareBase = 0x00710220;

TEST(RequestCode, SetFlagByHostFamily) {
    EXPECT_EQ(0x0DF10220u, RequestCode(0x0D710220, 9));
    EXPECT_EQ(0x0DF10220u, RequestCode(0x0D710220, 0));
    EXPECT_EQ(0x00F10220u, RequestCode(kBareBase, 9));
    EXPECT_EQ(0xFFF10220u, RequestCode(kBareBase, 10));
    EXPECT_EQ(0xFFF10220u, RequestCode(kBareBase, 14));
    // The flag is ORed, never added: a base that already has it is unchanged.
    EXPECT_EQ(0x00800000u, RequestCode(0x00800000, 1));
    EXPECT_EQ(0xFF800000u, RequestCode(0, 12));
}

TEST_F(DriverRequest, OpensWithTheExactArgumentsAndSendsCodeAndValue) {
    sim::SimDevice& dev = Device();
    Sim().SetHostCode(7);
    DWORD value = 1;
    EXPECT_EQ(1, SendDriverRequest(kPath, 0x0D710220, &value, &reply));

    ASSERT_EQ(1u, Sim().fileOpens.size());
    const sim::FileOpen& open = Sim().fileOpens[0];
    EXPECT_EQ(kPath, open.path);
    EXPECT_EQ(0u, open.access);
    EXPECT_EQ(static_cast<DWORD>(FILE_SHARE_READ), open.share);
    EXPECT_TRUE(open.securityNull);
    EXPECT_EQ(static_cast<DWORD>(OPEN_EXISTING), open.disposition);
    EXPECT_EQ(static_cast<DWORD>(FILE_FLAG_OVERLAPPED), open.flags);
    EXPECT_EQ(INVALID_HANDLE_VALUE, open.templ);

    ASSERT_EQ(1u, dev.requests.size());
    EXPECT_EQ(0x170002u, dev.requests[0].ioctl);
    EXPECT_EQ(0x0DF10220u, dev.requests[0].request);
    EXPECT_EQ(1u, dev.requests[0].value);
    EXPECT_EQ(4u, dev.requests[0].inSize);
    EXPECT_EQ(4u, dev.requests[0].outSize);
    EXPECT_FALSE(dev.requests[0].outIsHeapBlock);
}

// Without an OVERLAPPED, Windows writes the count through lpBytesReturned
// whatever happens: the simulation fails a call that passes none.
TEST_F(DriverRequest, TheSimulationRefusesANullByteCountWithoutOverlapped) {
    Device();
    HANDLE device = Win().CreateFileA(kPath, 0, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                                      nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, device);
    DWORD in = 1, out = 0;
    BOOL sent = TRUE;
    EXPECT_NONFATAL_FAILURE(sent = Win().DeviceIoControl(device, 0x170002, &in, sizeof in, &out,
                                                         sizeof out, nullptr, nullptr),
                            "null lpBytesReturned");
    EXPECT_FALSE(sent);
    EXPECT_EQ(static_cast<DWORD>(ERROR_NOACCESS), Win().GetLastError());
    EXPECT_TRUE(Sim().driverRequests.empty()) << "nothing reached the driver";
    Win().CloseHandle(device);
}

// The request's code names no right (FILE_ANY_ACCESS), so a handle opened
// with none sends it; a code that names read access is refused through
// that handle, before any driver sees it, and sent through one that reads.
TEST_F(DriverRequest, TheSimulationSendsAControlOnlyWithTheRightsItsCodeNames) {
    Device();
    const DWORD readAccessCode = 0x174002;  // the request's code with FILE_READ_ACCESS
    DWORD in = 1, out = 0, returned = 0;
    HANDLE bare = Win().CreateFileA(kPath, 0, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, bare);
    SetLastError(0);
    EXPECT_FALSE(Win().DeviceIoControl(bare, readAccessCode, &in, sizeof in, &out, sizeof out,
                                       &returned, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), Win().GetLastError());
    EXPECT_TRUE(Sim().driverRequests.empty());
    EXPECT_TRUE(Win().DeviceIoControl(bare, 0x170002, &in, sizeof in, &out, sizeof out,
                                      &returned, nullptr));
    EXPECT_EQ(1u, Sim().driverRequests.size());
    Win().CloseHandle(bare);

    HANDLE reader = Win().CreateFileA(kPath, GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, reader);
    Win().DeviceIoControl(reader, readAccessCode, &in, sizeof in, &out, sizeof out, &returned,
                          nullptr);
    ASSERT_EQ(2u, Sim().driverRequests.size());
    EXPECT_EQ(readAccessCode, Sim().driverRequests[1].ioctl);
    Win().CloseHandle(reader);
}

TEST_F(DriverRequest, RequestCodeFollowsTheHostFamily) {
    sim::SimDevice& dev = Device();
    for (int code : {9, 10, 12, 14}) {
        Sim().SetHostCode(code);
        DWORD value = 0;
        EXPECT_EQ(1, SendDriverRequest(kPath, kBareBase, &value, &reply));
    }
    ASSERT_EQ(4u, dev.requests.size());
    EXPECT_EQ(0x00F10220u, dev.requests[0].request);
    EXPECT_EQ(0xFFF10220u, dev.requests[1].request);
    EXPECT_EQ(0xFFF10220u, dev.requests[2].request);
    EXPECT_EQ(0xFFF10220u, dev.requests[3].request);
}

TEST_F(DriverRequest, HeapBlockOnlyOnCodeEightWithTheSameBytesOnTheWire) {
    sim::SimDevice& dev = Device();
    dev.writeBack = true;
    dev.writeBackValue = 0x55;

    Sim().SetHostCode(8);
    DWORD value = 1;
    EXPECT_EQ(1, SendDriverRequest(kPath, 0x0D710220, &value, &reply));
    EXPECT_EQ(1u, value) << "write-back of the heap block is discarded";
    EXPECT_EQ(1, Sim().heapAllocs);

    Sim().SetHostCode(9);
    value = 1;
    EXPECT_EQ(1, SendDriverRequest(kPath, 0x0D710220, &value, &reply));
    EXPECT_EQ(0x55u, value) << "the caller's buffer is the output buffer";
    EXPECT_EQ(1, Sim().heapAllocs);

    ASSERT_EQ(2u, dev.requests.size());
    EXPECT_TRUE(dev.requests[0].outIsHeapBlock);
    EXPECT_FALSE(dev.requests[1].outIsHeapBlock);
    for (const auto& r : dev.requests) {
        EXPECT_EQ(0x0DF10220u, r.request);
        EXPECT_EQ(1u, r.value);
        EXPECT_EQ(4u, r.outSize);
    }
}

TEST_F(DriverRequest, NoHeapBlockMeansNoRequestAndTheHandleIsClosed) {
    sim::SimDevice& dev = Device();
    Sim().SetHostCode(8);
    Sim().failHeapAllocs = 1;
    DWORD value = 1;
    EXPECT_EQ(0, SendDriverRequest(kPath, 0x0D710220, &value, &reply));
    EXPECT_TRUE(dev.requests.empty());
    EXPECT_EQ(1u, Sim().fileOpens.size());
    EXPECT_EQ(kDriverControlFailed, reply.step);
    EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY), reply.error);
}

// Each failure says where it happened and Windows' error there.
TEST_F(DriverRequest, FailuresGiveZeroAndTheirStep) {
    DWORD value = 1;
    // No path: nothing is opened.
    EXPECT_EQ(0, SendDriverRequest("", 0x0D710220, &value, &reply));
    EXPECT_TRUE(Sim().fileOpens.empty());
    EXPECT_EQ(kDriverNoPath, reply.step);
    EXPECT_EQ(0u, reply.error);

    // A vanished adapter fails at the open.
    EXPECT_EQ(0, SendDriverRequest(kPath, 0x0D710220, &value, &reply));
    EXPECT_EQ(1u, Sim().fileOpens.size());
    EXPECT_EQ(kDriverOpenFailed, reply.step);
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), reply.error);

    // The driver refuses the control: 0, and the handle still closed.
    sim::SimDevice& dev = Device();
    dev.failNext = 1;
    EXPECT_EQ(0, SendDriverRequest(kPath, 0x0D710220, &value, &reply));
    EXPECT_EQ(1u, dev.requests.size());
    EXPECT_EQ(kDriverControlFailed, reply.step);
    EXPECT_EQ(static_cast<DWORD>(ERROR_GEN_FAILURE), reply.error);
    Sim().SetHostCode(8);
    dev.failNext = 1;
    EXPECT_EQ(0, SendDriverRequest(kPath, 0x0D710220, &value, &reply));
    EXPECT_EQ(2u, dev.requests.size());

    EXPECT_EQ(1, SendDriverRequest(kPath, 0x0D710220, &value, &reply));
    EXPECT_EQ(kDriverAccepted, reply.step);
    EXPECT_EQ(0u, reply.error);
}

// A driver that holds the request: waited for kRequestBoundMs, cancelled,
// waited for kCancelBoundMs; one that completes during the wait is accepted.
TEST_F(DriverRequest, AHeldRequestIsCancelledAfterTheBoundAndOneNeverGivenBackBlocksTheNext) {
    sim::SimDevice& dev = Device();
    dev.hold = true;
    DWORD value = 1;
    EXPECT_EQ(0, SendDriverRequest(kPath, 0x0D710220, &value, &reply));
    EXPECT_EQ(kDriverTimedOut, reply.step);
    EXPECT_EQ(static_cast<DWORD>(ERROR_TIMEOUT), reply.error);
    ASSERT_EQ(2u, Sim().waits.size());
    EXPECT_EQ(5000u, Sim().waits[0].second);
    EXPECT_EQ(1000u, Sim().waits[1].second);
    EXPECT_EQ(1, Sim().cancels);
    EXPECT_EQ(1, Sim().OpenHandles()) << "the event alone, kept for the next request";

    dev.completeAtWait = 1;
    dev.writeBack = true;
    EXPECT_EQ(1, SendDriverRequest(kPath, 0x0D710220, &value, &reply));
    EXPECT_EQ(kDriverAccepted, reply.step);
    EXPECT_EQ(3u, Sim().waits.size());
    EXPECT_EQ(1, Sim().cancels);

    // Not even the cancel ends it: left with the driver, handles kept; the
    // next is not sent until the driver completes it.
    dev.ignoresCancel = true;
    EXPECT_EQ(0, SendDriverRequest(kPath, 0x0D710220, &value, &reply));
    EXPECT_EQ(kDriverTimedOut, reply.step);
    EXPECT_EQ(static_cast<DWORD>(ERROR_TIMEOUT), reply.error);
    EXPECT_EQ(2, Sim().OpenHandles());
    EndDriverRequests();
    EXPECT_EQ(2, Sim().OpenHandles()) << "the event stays while the driver holds a request";
    EXPECT_EQ(0, SendDriverRequest(kPath, 0x0D710220, &value, &reply));
    EXPECT_EQ(static_cast<DWORD>(ERROR_IO_PENDING), reply.error);
    EXPECT_EQ(3u, dev.requests.size());
    EXPECT_EQ(3u, Sim().fileOpens.size());
    Sim().CompleteHeld(kPath);
    dev.hold = false;
    EXPECT_EQ(1, SendDriverRequest(kPath, 0x0D710220, &value, &reply));
    EXPECT_EQ(4u, dev.requests.size());
    EXPECT_EQ(1, Sim().OpenHandles()) << "one event for every request";
    EndDriverRequests();
    EXPECT_EQ(0, Sim().OpenHandles());
}

}  // namespace
