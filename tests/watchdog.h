// Ends the test run when a call does not return: a test that hangs fails with its name instead
// of holding the run until ctest's time-out. One per test, as a fixture member.
#pragma once
#include <gtest/gtest.h>

#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

class Watchdog {
public:
    explicit Watchdog(unsigned seconds)
    {
        const ::testing::TestInfo* t = ::testing::UnitTest::GetInstance()->current_test_info();
        snprintf(Name(), NameCapacity, "%s.%s", t ? t->test_suite_name() : "?",
                 t ? t->name() : "?");
        signal(SIGALRM, &Watchdog::Expired);
        alarm(seconds);
    }
    ~Watchdog() { alarm(0); }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

private:
    static constexpr size_t NameCapacity = 256;
    static char* Name()
    {
        static char name[NameCapacity];
        return name;
    }
    static void Expired(int)
    {
        static const char prefix[] = "\nwatchdog: a call did not return, in ";
        (void)!write(2, prefix, sizeof prefix - 1);
        (void)!write(2, Name(), strlen(Name()));
        (void)!write(2, "\n", 1);
        _exit(3);
    }
};
