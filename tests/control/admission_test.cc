// Execution admission with two simulated processes: two clients attached to
// one region, each with its own slot flag.
#include "control/admission.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "control/recounted_calls.h"
#include "support/fake_processes.h"
#include "support/scratch.h"
#include "table/accessors.h"

namespace sorvik {
namespace {

class Admission : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(attach(&a, scratch.site()));
        ASSERT_TRUE(attach(&b, scratch.site()));
        table = a.table;
    }
    void TearDown() override {
        detach(&a);
        detach(&b);
    }
    int add(const char *name, int32_t min, int32_t permit, int32_t running = 0) {
        ProStru &r = table->records[table->proCount];
        std::strcpy(r.proName, name);
        r.minExeCount = min;
        r.permitExeCount = permit;
        r.exeCount = running;
        return table->proCount++;
    }
    // A question as a process asks it, through client `a`, with `running`
    // the processes the recount finds.
    int32_t ask(RecountedCall::Kind question, const char *name, const std::vector<test::FakeProcess> &running = {}) {
        test::gFakeProcesses = running;
        test::gFakeProcessesFail = false;
        return runRecounted(&a, {question, name}, test::fakeProcesses);
    }
    int32_t exe(int i) const { return table->records[i].exeCount; }

    test::ScratchSite scratch;
    Client a, b;
    ProTable *table = nullptr;
};

TEST_F(Admission, UnknownNamesAreNoError) {
    EXPECT_EQ(logIn(&a, table, "ghost"), 1);
    EXPECT_FALSE(a.loggedIn) << "nothing was taken";
    EXPECT_EQ(logOut(&a, table, "ghost"), 0);
    EXPECT_EQ(logIn(&a, table, "ghost"), 1);
    EXPECT_EQ(ask(RecountedCall::canExecute, "ghost"), 1);
    EXPECT_EQ(ask(RecountedCall::isExecuting, "ghost"), 0);
    EXPECT_EQ(ask(RecountedCall::mustReExecute, "ghost"), 0);
    EXPECT_EQ(logIn(&a, table, nullptr), 1) << "a null name is a name no record holds";
    EXPECT_EQ(logOut(&a, table, nullptr), 0);
}

TEST_F(Admission, AProcessWithoutTheTableIsRefusedEverything) {
    add("app", 0, 5);
    Client none;
    none.attachError = EACCES;
    EXPECT_EQ(runRecounted(&none, {RecountedCall::canExecute, "app"}, test::fakeProcesses), 0);
    EXPECT_EQ(runRecounted(&none, {RecountedCall::canExecute, "ghost"}, test::fakeProcesses), 0)
        << "an unknown name may run only where there is a table to say so";
    EXPECT_EQ(runRecounted(&none, {RecountedCall::isExecuting, "app"}, test::fakeProcesses), 0);
    EXPECT_EQ(runRecounted(&none, {RecountedCall::mustReExecute, "app"}, test::fakeProcesses), 0);
    errno = 0;
    EXPECT_EQ(runRecounted(&none, {RecountedCall::add, "new", {0, 1, 0, 0}}, test::fakeProcesses), kNoRecord);
    EXPECT_EQ(errno, EACCES) << "errno tells why the table could not be had";
    errno = 0;
    EXPECT_EQ(runRecounted(&none, {RecountedCall::remove, "app"}, test::fakeProcesses), kNoRecord);
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(table->proCount, 1) << "nothing changed";
}

TEST_F(Admission, LimitsHoldAcrossProcesses) {
    const int app = add("app", 0, 2, 1);
    EXPECT_EQ(logIn(&a, table, "app"), 1);
    EXPECT_EQ(exe(app), 2);
    EXPECT_EQ(logIn(&b, table, "APP"), 0) << "no free slot for the second process";
    EXPECT_FALSE(b.loggedIn);
    EXPECT_EQ(logOut(&a, table, "app"), 1);
    EXPECT_EQ(exe(app), 1);
    EXPECT_EQ(logIn(&b, table, "app"), 1);
}

TEST_F(Admission, AProcessHoldsOneSlotAtATime) {
    add("app", 0, 5);
    add("other", 0, 5);
    ASSERT_EQ(logIn(&a, table, "app"), 1);
    EXPECT_EQ(logIn(&a, table, "other"), 0);
    EXPECT_EQ(logIn(&a, table, "ghost"), 0) << "tested before any lookup";
    EXPECT_EQ(logOut(&a, table, "ghost"), 0);
    EXPECT_TRUE(a.loggedIn) << "a name that no record holds is no logout";
    EXPECT_EQ(logOut(&a, table, "other"), 0) << "other counts no copy";
    EXPECT_FALSE(a.loggedIn) << "a logout gives the process's slot up whatever it finds";
    EXPECT_EQ(exe(0), 1) << "the copy counted by the login stays until a recount";
    // The flag does not remember the name: a logout under another name that
    // counts a copy gives the slot back.
    ASSERT_EQ(logIn(&a, table, "app"), 1);
    table->records[1].exeCount = 1;
    EXPECT_EQ(logOut(&a, table, "other"), 1);
    EXPECT_EQ(exe(1), 0);
    EXPECT_EQ(exe(0), 2);
    EXPECT_EQ(logOut(&a, table, "app"), 0) << "nothing held any more";
}

TEST_F(Admission, BoundsOfZeroOrBelowRefuse) {
    struct Case {
        int32_t min, permit;
        int32_t login, can, must;
    } cases[] = {{0, 0, 0, 0, 0}, {-1, -1, 0, 0, 0}, {1, 1, 1, 1, 1}, {3, 2, 1, 1, 1}};
    for (const Case &c : cases) {
        table->proCount = 0;
        add("app", c.min, c.permit);
        Client fresh;
        ASSERT_TRUE(attach(&fresh, scratch.site()));
        EXPECT_EQ(ask(RecountedCall::canExecute, "app"), c.can) << c.min << "/" << c.permit;
        EXPECT_EQ(ask(RecountedCall::mustReExecute, "app"), c.must) << c.min << "/" << c.permit;
        EXPECT_EQ(logIn(&fresh, table, "app"), c.login) << c.min << "/" << c.permit;
        detach(&fresh);
    }
}

TEST_F(Admission, FirstMatchRulesWithOneBaseNameTwice) {
    const int first = add("app", 1, 1, 0);
    const int second = add("tools\\app", 0, 5, 1);
    EXPECT_EQ(logIn(&a, table, "app"), 1) << "the first record has a free slot";
    EXPECT_EQ(exe(first), 1);
    EXPECT_EQ(logIn(&b, table, "app"), 0) << "the first is full; the second is never tried";
    EXPECT_EQ(exe(second), 1);

    table->records[first].exeCount = 0;
    EXPECT_EQ(logOut(&a, table, "app"), 1) << "passes over the first, which counts none";
    EXPECT_EQ(exe(second), 0);

    // The questions look only at the first record.
    table->records[second].exeCount = 4;
    EXPECT_EQ(ask(RecountedCall::isExecuting, "app", {{9, "app"}}), 1);
    EXPECT_EQ(exe(first), 1);
    EXPECT_EQ(exe(second), 4);
    EXPECT_EQ(ask(RecountedCall::mustReExecute, "app", {}), 1);
}

TEST_F(Admission, ARecountDiscardsALoginsIncrement) {
    const int app = add("app", 1, 3, 0);
    ASSERT_EQ(logIn(&a, table, "app"), 1);
    EXPECT_EQ(exe(app), 1);
    EXPECT_EQ(ask(RecountedCall::isExecuting, "app"), 0) << "nothing by that name runs";
    EXPECT_EQ(exe(app), 0);
    EXPECT_EQ(logOut(&a, table, "app"), 0) << "the slot's copy is gone";
    EXPECT_FALSE(a.loggedIn) << "the process gave its slot up all the same";
    EXPECT_EQ(logIn(&a, table, "app"), 1);
    EXPECT_EQ(exe(app), 1);
    EXPECT_EQ(ask(RecountedCall::canExecute, "app", {{1, "app"}, {2, "app.exe"}, {3, "APP"}}), 0);
    EXPECT_EQ(exe(app), 3);
    EXPECT_EQ(logOut(&a, table, "app"), 1);
    EXPECT_EQ(exe(app), 2);
}

TEST_F(Admission, NamesMatchTheBaseNameInAnyCaseButNeverAPath) {
    add("d:\\apps\\Viewer", 1, 2);
    EXPECT_EQ(ask(RecountedCall::canExecute, "VIEWER", {{1, "viewer"}}), 1);
    EXPECT_EQ(exe(0), 0) << "the whole stored name holds a directory, so the recount finds none";
    EXPECT_EQ(logIn(&a, table, "apps\\viewer"), 1) << "a name with a backslash matches no record";
    EXPECT_FALSE(a.loggedIn);
    EXPECT_EQ(logIn(&a, table, "viewe"), 1);
    EXPECT_FALSE(a.loggedIn) << "a prefix is no match";
}

}  // namespace
}  // namespace sorvik
