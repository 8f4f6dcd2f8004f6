// The error check: which codes pass, and what the others raise.

#include "serial/errors/error_check.h"

#include "framework/component.h"
#include "framework/exceptions.h"
#include "serial/errors/error_codes.h"
#include "serial/errors/exceptions.h"

#include <gtest/gtest.h>

#include <climits>
#include <stdexcept>
#include <string>
#include <thread>
#include <typeinfo>
#include <vector>

namespace kivo {
namespace {

TEST(CheckErrorCode, ZeroAndPositiveCodesAreReturned)
{
    TComponent component(nullptr);
    for (int code : {0, 1, 5, 15001, 65536, INT_MAX}) {
        EXPECT_EQ(CheckErrorCode(&component, code), code);
        EXPECT_EQ(CheckErrorCode(nullptr, code), code);
    }
}

TEST(CheckErrorCode, CommNotOpenIsCaughtByItsFamilyAndTheRoot)
{
    try {
        CheckErrorCode(nullptr, ecCommNotOpen);
        FAIL() << "no exception";
    } catch (const EOpenComm& e) {
        EXPECT_EQ(typeid(e), typeid(ECommNotOpen));
        EXPECT_EQ(e.ErrorCode, -2007);
        EXPECT_EQ(e.Message(), "ie_NOpen - device not open");
        EXPECT_STREQ(e.what(), "ie_NOpen - device not open");
        EXPECT_EQ(e.HelpContext(), 0);
    }
    EXPECT_THROW(CheckErrorCode(nullptr, -2007), EKIVException);
    EXPECT_THROW(CheckErrorCode(nullptr, -2007), Exception);
}

TEST(CheckErrorCode, CodesWithoutAClassLoseTheirCode)
{
    for (int code : {-1, -1001, -3002, -4009, -5506, -160000, -13804, -13980 - 1, INT_MIN}) {
        try {
            CheckErrorCode(nullptr, code);
            ADD_FAILURE() << code << " raised nothing";
        } catch (const EKIVException& e) {
            EXPECT_EQ(typeid(e), typeid(EKIVException)) << code;
            EXPECT_EQ(e.Message(), "Kivo exception") << code;
            EXPECT_EQ(e.ErrorCode, 0) << code;
        }
    }
}

TEST(CheckErrorCode, SystemRangeRaisesInOutErrorWithPositiveCode)
{
    struct Case {
        int Code;
        const char* Message;
    };
    for (Case c : {Case{-5, "File access denied"}, Case{-2, "File not found"},
                   Case{-160, "Device write error"}, Case{-161, "Device read error"},
                   Case{-162, "General failure"}, Case{-87, "The parameter is incorrect. "},
                   Case{-31, "A device attached to the system is not functioning. "}}) {
        try {
            CheckErrorCode(nullptr, c.Code);
            ADD_FAILURE() << c.Code << " raised nothing";
        } catch (const EInOutError& e) {
            EXPECT_EQ(e.Message(), c.Message) << c.Code;
            EXPECT_EQ(e.ErrorCode, -c.Code) << c.Code;
        }
    }
}

TEST(CheckErrorCode, SystemNumberWithoutAnyTextStillSaysWhichOne)
{
    // Neither the table nor the system knows 7.
    try {
        CheckErrorCode(nullptr, -7);
        FAIL() << "no exception";
    } catch (const EInOutError& e) {
        EXPECT_EQ(e.ErrorCode, 7);
        EXPECT_EQ(e.Message(), "I/O error 7");
    }
}

TEST(CheckErrorCode, MinusEightIsOutOfMemoryNotAnIoError)
{
    try {
        CheckErrorCode(nullptr, ecOutOfMemory);
        FAIL() << "no exception";
    } catch (const EInOutError&) {
        FAIL() << "raised an input/output error";
    } catch (const EOutOfMemory& e) {
        EXPECT_EQ(e.Message(), "Out of memory");
    }
}

TEST(CheckErrorCode, LoadingComponentGetsTheCodeBack)
{
    TComponent owner(nullptr);
    auto* component = new TComponent(&owner);
    component->BeginLoading();
    EXPECT_EQ(CheckErrorCode(component, ecCommNotOpen), -2007);
    EXPECT_EQ(CheckErrorCode(component, -8), -8);
    EXPECT_EQ(CheckErrorCode(component, -1001), -1001);
    // Only the component itself counts, not its owner.
    EXPECT_THROW(CheckErrorCode(&owner, ecCommNotOpen), ECommNotOpen);
    component->EndLoading();
    EXPECT_THROW(CheckErrorCode(component, ecCommNotOpen), ECommNotOpen);
}

TEST(RaiseForCode, RaisesLikeTheCheckAndRefusesNonErrors)
{
    EXPECT_THROW(RaiseForCode(ecNoPortSelected), ENoPortSelected);
    EXPECT_THROW(RaiseForCode(ecNullApi), ENullApi);
    EXPECT_THROW(RaiseForCode(ecStartStringEmpty), EInvalidProperty);
    EXPECT_THROW(RaiseForCode(ecAccessDenied), EInOutError);
    EXPECT_THROW(RaiseForCode(0), std::invalid_argument);
    EXPECT_THROW(RaiseForCode(3), std::invalid_argument);
}

TEST(EKIVException, FactoriesKeepTheirOwnClass)
{
    ECommNotOpen fromCode = ECommNotOpen::CreateFromCode(ecCommNotOpen);
    EXPECT_EQ(fromCode.ErrorCode, -2007);
    EXPECT_EQ(fromCode.Message(), "ie_NOpen - device not open");

    EInvalidProperty fromText = EInvalidProperty::CreateFromText("Start string is empty");
    EXPECT_EQ(fromText.ErrorCode, 0);
    EXPECT_EQ(fromText.Message(), "Start string is empty");

    try {
        throw ENoMoreTriggers::CreateFromCode(ecNoMoreTriggers);
    } catch (const ETrigger& e) {
        EXPECT_EQ(typeid(e), typeid(ENoMoreTriggers));
        EXPECT_EQ(e.Message(), "No more trigger slots");
    }
    // A code that is not in the table still gives a message that names it.
    EXPECT_EQ(EKIVException::CreateFromCode(-4019).Message(), "Kivo exception (code -4019)");
    EXPECT_EQ(EKIVException(FromCode, ecBadTriggerHandle).Message(), "Bad trigger handle");
}

TEST(CheckErrorCode, RaisesTheSameFromManyThreadsAtOnce)
{
    // The device threads' exit codes are checked off the main thread while
    // the main thread raises its own; nothing may be shared but the tables.
    constexpr int Threads = 4;
    constexpr int Rounds = 2000;
    std::vector<int> wrong(Threads, 0);
    std::vector<std::thread> workers;
    for (int t = 0; t < Threads; ++t) {
        workers.emplace_back([t, &wrong] {
            for (int i = 0; i < Rounds; ++i) {
                int code = (i % 2 == 0) ? ecTapiNoMem : -87;
                try {
                    CheckErrorCode(nullptr, code);
                    ++wrong[static_cast<std::size_t>(t)];
                } catch (const ETapiNoMem& e) {
                    if (code != ecTapiNoMem || e.Message() != "No memory") ++wrong[static_cast<std::size_t>(t)];
                } catch (const EInOutError& e) {
                    if (code != -87 || e.Message() != "The parameter is incorrect. ") ++wrong[static_cast<std::size_t>(t)];
                }
            }
        });
    }
    for (std::thread& worker : workers) worker.join();
    EXPECT_EQ(wrong, std::vector<int>(Threads, 0));
}

} // namespace
} // namespace kivo
