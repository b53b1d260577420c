// Event system semantics (queued versus triggered events, cancel state per trigger and per thread,
// remote refusal, handlers added during a walk) and the resource manager's stop path, driven through
// resources whose VM is a fake that runs C++ handlers.

#include <algorithm>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "LogCapture.h"
#include "ResourceTestUtil.h"

namespace
{

using restest::FakeHandler;
using restest::FakeScripts;
using restest::FakeVMScope;
using restest::TempBase;
using restest::TestServer;

class ResourceEventTest : public ::testing::Test
{
protected:
    void SetUp() override { restest::ResetSettings(); }

    // A lua resource whose server scripts are the given names (run by the fake VM).
    Resource* Start(const std::string& name, const std::vector<std::string>& scripts = {"main.lua"})
    {
        WriteFakeResource(name, scripts);
        return server.StartResource(name);
    }

    void WriteFakeResource(const std::string& name, const std::vector<std::string>& scripts)
    {
        std::string meta = R"(<meta type="lua">)";
        std::map<std::string, std::string> files;
        for (const std::string& script : scripts)
        {
            meta += "<script src=\"" + script + "\" type=\"server\"/>";
            files[script] = "-- " + script;
        }
        base.WriteResource(name, meta + "</meta>", files);
    }

    // Registers a handler body under a new id and subscribes it.
    int32_t Subscribe(Resource* resource, const std::string& event, std::function<bool(uint32_t)> body,
                      bool allowRemote = false)
    {
        int32_t id = nextId++;
        scripts.handlers[id] = std::move(body);
        resource->AddHandler(event, FakeHandler(id), allowRemote);
        return id;
    }
    int32_t SubscribePlain(Resource* resource, const std::string& event, bool allowRemote = false)
    {
        return Subscribe(
            resource, event, [](uint32_t) { return true; }, allowRemote);
    }

    int32_t SubscribeCanceling(Resource* resource, const std::string& event)
    {
        return Subscribe(resource, event,
                         [this](uint32_t)
                         {
                             manager.CancelEvent();
                             return true;
                         });
    }

    bool Trigger(const std::string& event)
    {
        return manager.TriggerEvent(event, kServerEventSource, false, noArgs);
    }
    void Queue(const std::string& event) { manager.QueueEvent(event, kServerEventSource, false, noArgs); }

    std::vector<std::string> TakeCalls() { return std::exchange(scripts.calls, {}); }

    TempBase base;
    FakeScripts scripts;
    FakeVMScope fakeVM{scripts};
    TestServer server;
    ResourceManager& manager = server.Manager();
    int32_t nextId = 1;
    ScriptContext noArgs;
};

TEST_F(ResourceEventTest, HandlersRunInSubscriptionOrderOncePerEvent)
{
    Resource* a = Start("A");
    Resource* b = Start("B");
    SubscribePlain(a, "ev");
    SubscribePlain(a, "other");
    SubscribePlain(a, "ev");
    {
        LogCapture log;
        Queue("nobody");
        EXPECT_EQ(log.Messages(), std::vector<std::string>{"[ResourceEventManager] Queue event nobody."});
        EXPECT_FALSE(a->HasQueuedEvents() || b->HasQueuedEvents()) << "nothing stored without handlers";
    }

    EXPECT_TRUE(Trigger("ev"));
    EXPECT_EQ(TakeCalls(), (std::vector<std::string>{"A:1", "A:3"}));

    Queue("ev");
    EXPECT_TRUE(TakeCalls().empty()) << "queued events wait for the next pass";
    manager.Process();
    EXPECT_EQ(TakeCalls(), (std::vector<std::string>{"A:1", "A:3"}));
    manager.Process();
    EXPECT_TRUE(TakeCalls().empty());
}

TEST_F(ResourceEventTest, RemoteEventsRunOnlyHandlersThatAllowThem)
{
    Resource* a = Start("A");
    Resource* b = Start("B");
    SubscribePlain(a, "ev", false);
    SubscribePlain(a, "ev", true);
    SubscribePlain(b, "local");

    LogCapture log;
    manager.QueueEvent("ev", 7, true, noArgs);
    manager.Process();
    EXPECT_EQ(TakeCalls(), std::vector<std::string>{"A:2"});
    EXPECT_EQ(
        log.Messages(spdlog::level::warn),
        std::vector<std::string>{
            "[ResourceEvent] A handler of event ev in resource A doesn't allow to be triggered remotely."});
    EXPECT_EQ(a->GetSource(), 7);
    Trigger("local");
    EXPECT_EQ(a->GetSource(), 7) << "the source stays until a handler of A runs again";
    EXPECT_EQ(b->GetSource(), kServerEventSource);
    TakeCalls();

    // The same event raised locally runs both.
    Trigger("ev");
    EXPECT_EQ(TakeCalls(), (std::vector<std::string>{"A:1", "A:2"}));
    EXPECT_EQ(a->GetSource(), kServerEventSource);
}

TEST_F(ResourceEventTest, HandlerSubscribedDuringTheWalkRunsInTheSameWalk)
{
    Resource* a = Start("A");
    bool added = false;
    Subscribe(a, "ev",
              [&](uint32_t)
              {
                  if (!added)
                  {
                      added = true;
                      SubscribePlain(a, "ev"); // same name: runs in this walk
                      SubscribePlain(a, "eu"); // sorts before: not part of it
                      SubscribePlain(a, "ew"); // sorts after: not part of it
                  }
                  return true;
              });
    Trigger("ev");
    EXPECT_EQ(TakeCalls(), (std::vector<std::string>{"A:1", "A:2"}));
    Trigger("ev");
    EXPECT_EQ(TakeCalls(), (std::vector<std::string>{"A:1", "A:2"}));
}

TEST_F(ResourceEventTest, CancelReachesOnlyTheInnermostTrigger)
{
    Resource* a = Start("A");
    bool innerResult = true;
    bool cancelInner = false;
    Subscribe(a, "outer",
              [&](uint32_t)
              {
                  innerResult = Trigger("inner");
                  if (!cancelInner)
                      manager.CancelEvent(); // the inner flag is popped by now: this cancels the outer
                  return true;
              });
    Subscribe(a, "inner",
              [&](uint32_t)
              {
                  if (cancelInner)
                      manager.CancelEvent();
                  return true;
              });

    EXPECT_FALSE(Trigger("outer"));
    EXPECT_TRUE(innerResult);
    EXPECT_TRUE(manager.WasLastCanceled());

    cancelInner = true;
    EXPECT_TRUE(Trigger("outer"));
    EXPECT_FALSE(innerResult);
    EXPECT_FALSE(manager.WasLastCanceled()) << "the outer trigger finished last, uncanceled";
}

TEST_F(ResourceEventTest, CancelNeitherStopsTheWalkNorReachesQueuedEvents)
{
    Resource* a = Start("A");
    Resource* b = Start("B");
    SubscribeCanceling(a, "ev");
    SubscribePlain(a, "ev");
    SubscribePlain(b, "ev");
    EXPECT_FALSE(Trigger("ev"));
    EXPECT_EQ(TakeCalls().size(), 3u);

    Trigger("nobody"); // this thread's flag: false
    Queue("ev");
    manager.Process();
    EXPECT_EQ(TakeCalls().size(), 3u);
    EXPECT_FALSE(manager.WasLastCanceled());
}

TEST_F(ResourceEventTest, CancelStateIsPerThread)
{
    Resource* a = Start("A");
    SubscribeCanceling(a, "cancel");
    SubscribePlain(a, "plain");
    EXPECT_FALSE(Trigger("cancel"));
    ASSERT_TRUE(manager.WasLastCanceled());

    bool otherBefore = true;
    bool otherResult = false;
    bool otherAfter = true;
    std::thread other(
        [&]
        {
            otherBefore = manager.WasLastCanceled();
            manager.CancelEvent(); // nothing runs on this thread: no effect
            otherResult = Trigger("plain");
            otherAfter = manager.WasLastCanceled();
        });
    other.join();
    EXPECT_FALSE(otherBefore);
    EXPECT_TRUE(otherResult);
    EXPECT_FALSE(otherAfter);
    EXPECT_TRUE(manager.WasLastCanceled()) << "the other thread's trigger does not touch this thread's flag";
}

TEST_F(ResourceEventTest, FailingHandlersDoNotStopTheOthers)
{
    Resource* a = Start("A");
    Resource* b = Start("B");
    Subscribe(a, "ev", [](uint32_t) { return false; });
    a->AddHandler("ev", FakeHandler(999), false); // no such function: cannot be pushed
    uint32_t argCount = 0;
    Subscribe(a, "ev",
              [&](uint32_t count)
              {
                  argCount = count;
                  return true;
              });
    SubscribePlain(b, "ev");

    LogCapture log;
    ScriptContext args;
    args.AddInt(1);
    args.AddString("two");
    args.AddBool(true);
    EXPECT_TRUE(manager.TriggerEvent("ev", kServerEventSource, false, args));
    EXPECT_EQ(argCount, 3u);
    std::vector<std::string> calls = TakeCalls();
    std::sort(calls.begin(), calls.end());
    EXPECT_EQ(calls, (std::vector<std::string>{"A:1", "A:2", "B:3"}));
    EXPECT_EQ(log.Messages(spdlog::level::err),
              (std::vector<std::string>{
                  "[ResourceEvent] Failed to call a handler function of event ev in resource A.",
                  "[ResourceEvent] Failed to push a handler function of event ev in resource A."}));
}

TEST_F(ResourceEventTest, EventsQueuedDuringAPassRunInThatPass)
{
    Resource* a = Start("A");
    Subscribe(a, "first",
              [&](uint32_t)
              {
                  Queue("second");
                  return true;
              });
    SubscribePlain(a, "second");
    Queue("first");
    a->ProcessQueue();
    EXPECT_EQ(TakeCalls(), (std::vector<std::string>{"A:1", "A:2"}));
    EXPECT_FALSE(a->HasQueuedEvents());
}

TEST_F(ResourceEventTest, ResourceStartReachesEarlierSubscribersOnly)
{
    WriteFakeResource("A", {"main.lua"});
    WriteFakeResource("B", {"b.lua"});
    scripts.onLoad["main.lua"] = [&](Resource* r) { SubscribePlain(r, "resourceStart"); };
    scripts.onLoad["b.lua"] = [&](Resource* r) { SubscribePlain(r, "resourceStart"); };
    ASSERT_NE(server.StartResource("A"), nullptr);
    manager.Process();
    ASSERT_NE(server.StartResource("B"), nullptr);
    manager.Process();
    // A sees its own start and B's; B only its own.
    EXPECT_EQ(TakeCalls(), (std::vector<std::string>{"A:1", "A:1", "B:2"}));
}

TEST_F(ResourceEventTest, StartRunsScriptsInOrderAndTearsDownOnFailure)
{
    WriteFakeResource("A", {"a.lua", "b.lua", "c.lua"});
    scripts.onLoad["a.lua"] = [&](Resource* r) { SubscribePlain(r, "ev"); };
    scripts.failingScripts.insert("b.lua");

    Resource* a = manager.CreateResource("A");
    ASSERT_TRUE(a->Load());
    LogCapture log;
    EXPECT_FALSE(a->Start());
    EXPECT_EQ(scripts.loaded, (std::vector<std::string>{"A:a.lua", "A:b.lua"}));
    EXPECT_TRUE(a->IsLoaded());
    EXPECT_FALSE(a->IsStarted());
    EXPECT_EQ(a->GetVM(), nullptr);
    EXPECT_EQ(a->GetHandlerCount(), 0u);
    EXPECT_FALSE(log.Contains("[Resource] Started resource"));
}

TEST_F(ResourceEventTest, StoppingDropsQueuedEvents)
{
    WriteFakeResource("A", {"main.lua"});
    scripts.onLoad["main.lua"] = [&](Resource* r) { SubscribePlain(r, "ev"); };
    ASSERT_NE(server.StartResource("A"), nullptr);
    Queue("ev");
    manager.StopResource("A");
    ASSERT_NE(server.StartResource("A"), nullptr);
    manager.Process();
    manager.Process();
    EXPECT_TRUE(TakeCalls().empty());
}

TEST_F(ResourceEventTest, CanceledStopKeepsTheResource)
{
    Resource* a = Start("A");
    bool cancel = true;
    bool vmAliveDuringStop = false;
    uint32_t stopArgs = 0;
    Subscribe(a, "resourceStop",
              [&](uint32_t count)
              {
                  stopArgs = count;
                  vmAliveDuringStop = manager.GetResource("A") == a && a->GetVM() != nullptr;
                  if (cancel)
                      manager.CancelEvent();
                  return true;
              });

    LogCapture log;
    manager.StopResource("A");
    EXPECT_EQ(log.Messages(spdlog::level::info),
              std::vector<std::string>{"[ResourceManager] Stopping of resource A was canceled."});
    EXPECT_EQ(manager.GetResource("A"), a);
    EXPECT_TRUE(a->IsStarted());
    EXPECT_TRUE(manager.WasLastCanceled());
    EXPECT_TRUE(vmAliveDuringStop);
    EXPECT_EQ(stopArgs, 1u);

    cancel = false;
    log.Clear();
    manager.StopResource("A");
    EXPECT_EQ(manager.GetResource("A"), nullptr);
    EXPECT_EQ(log.Messages(spdlog::level::info), std::vector<std::string>{"[Resource] Stopped resource A."});
    EXPECT_TRUE(vmAliveDuringStop) << "handlers run before the VM goes";
}

TEST_F(ResourceEventTest, StoppingAResourceThatIsNotStartedRaisesNothing)
{
    Resource* watcher = Start("W");
    SubscribePlain(watcher, "resourceStop");
    WriteFakeResource("A", {"main.lua"});
    Resource* a = manager.CreateResource("A");
    ASSERT_TRUE(a->Load());

    LogCapture log;
    manager.StopResource("A");
    EXPECT_TRUE(TakeCalls().empty());
    EXPECT_EQ(manager.GetResource("A"), nullptr);
    EXPECT_FALSE(log.Contains("Stopped resource"));

    log.Clear();
    manager.StopResource("never-created");
    EXPECT_TRUE(log.Messages().empty());
}

} // namespace
