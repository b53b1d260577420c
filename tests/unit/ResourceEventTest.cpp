// Event semantics and the resource stop path, through resources whose fake VM runs C++ handlers.

#include <functional>
#include <map>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "LogCapture.h"
#include "ResourceTestUtil.h"

namespace
{

using Calls = std::vector<std::string>;

class ResourceEventTest : public ::testing::Test
{
protected:
    void SetUp() override { restest::ResetSettings(); }

    Resource* Start(const std::string& name)
    {
        WriteFakeResource(name, {"main.lua"});
        return server.StartResource(name);
    }

    void WriteFakeResource(const std::string& name, const std::vector<std::string>& scripts)
    {
        std::string meta = R"(<meta type="lua">)";
        std::map<std::string, std::string> files;
        for (const std::string& script : scripts)
            meta += "<script src=\"" + script + "\" type=\"server\"/>";
        for (const std::string& script : scripts)
            files[script] = "-- " + script;
        base.WriteResource(name, meta + "</meta>", files);
    }

    // Subscribes a handler body under the next id; the fake VM logs calls as "<resource>:<id>".
    void Subscribe(
        Resource* resource, const std::string& event,
        std::function<bool(uint32_t)> body = [](uint32_t) { return true; }, bool remote = false)
    {
        scripts.handlers[nextId] = std::move(body);
        resource->AddHandler(event, restest::FakeHandler(nextId++), remote);
    }

    bool Cancel() { return manager.CancelEvent(), true; }
    bool Trigger(const std::string& e) { return manager.TriggerEvent(e, kServerEventSource, false, {}); }
    void Queue(const std::string& event) { manager.QueueEvent(event, kServerEventSource, false, {}); }
    Calls TakeCalls() { return std::exchange(scripts.calls, {}); }

    restest::TempBase base;
    restest::FakeScripts scripts;
    restest::FakeVMScope fakeVM{scripts};
    restest::TestServer server;
    ResourceManager& manager = server.Manager();
    int32_t nextId = 1;
};

TEST_F(ResourceEventTest, HandlersRunInSubscriptionOrderAndOnlyWhenAllowed)
{
    Resource* a = Start("A");
    Subscribe(a, "ev");
    Subscribe(a, "other");
    Subscribe(a, "ev");
    Subscribe(a, "first", [&](uint32_t) { return Queue("second"), true; });
    Subscribe(a, "second");
    LogCapture log;
    Queue("nobody");
    EXPECT_EQ(log.Messages(), Calls{"[ResourceEventManager] Queue event nobody."});
    EXPECT_FALSE(a->HasQueuedEvents()) << "nothing stored without handlers";

    EXPECT_TRUE(Trigger("ev"));
    EXPECT_EQ(TakeCalls(), (Calls{"A:1", "A:3"}));
    Queue("ev");
    EXPECT_TRUE(TakeCalls().empty()) << "queued events wait for the next pass";
    manager.Process();
    EXPECT_EQ(TakeCalls(), (Calls{"A:1", "A:3"}));
    // An event queued during a pass runs in that pass.
    Queue("first");
    manager.Process();
    EXPECT_EQ(TakeCalls(), (Calls{"A:4", "A:5"}));

    // A handler subscribed during the walk joins it only under the same event name.
    Subscribe(a, "grow",
              [&](uint32_t)
              {
                  if (nextId == 7)
                  {
                      Subscribe(a, "grow");
                      Subscribe(a, "gro");
                      Subscribe(a, "grz");
                  }
                  return true;
              });
    Trigger("grow");
    EXPECT_EQ(TakeCalls(), (Calls{"A:6", "A:7"}));

    Subscribe(a, "rev");
    Subscribe(
        a, "rev", [](uint32_t) { return true; }, true);
    manager.QueueEvent("rev", 7, true, {});
    manager.Process();
    EXPECT_EQ(TakeCalls(), Calls{"A:11"}) << "remote events run only handlers that allow them";
    EXPECT_TRUE(log.Contains(
        "[ResourceEvent] A handler of event rev in resource A doesn't allow to be triggered remotely."));
    EXPECT_EQ(a->GetSource(), 7);
    EXPECT_TRUE(Trigger("rev"));
    EXPECT_EQ(TakeCalls(), (Calls{"A:10", "A:11"}));
}

TEST_F(ResourceEventTest, CancelReachesOnlyTheInnermostTriggerOfItsThread)
{
    Resource* a = Start("A");
    bool innerResult = true;
    bool cancelInner = false;
    Subscribe(a, "outer",
              [&](uint32_t)
              {
                  innerResult = Trigger("inner");
                  return cancelInner || Cancel(); // the inner flag is popped by now
              });
    Subscribe(a, "inner", [&](uint32_t) { return !cancelInner || Cancel(); });
    EXPECT_FALSE(Trigger("outer"));
    EXPECT_TRUE(innerResult);
    cancelInner = true;
    EXPECT_TRUE(Trigger("outer"));
    EXPECT_FALSE(innerResult);
    EXPECT_FALSE(manager.WasLastCanceled()) << "the outer trigger finished last, uncanceled";

    // Cancel does not stop the walk, nor reach queued events.
    Subscribe(a, "ev", [this](uint32_t) { return Cancel(); });
    Subscribe(a, "ev");
    TakeCalls();
    Queue("ev");
    Trigger("nobody");
    manager.Process();
    EXPECT_EQ(TakeCalls().size(), 2u);
    EXPECT_FALSE(manager.WasLastCanceled());

    EXPECT_FALSE(Trigger("ev"));
    bool otherThreadSees = true;
    std::thread([&] { otherThreadSees = manager.WasLastCanceled(); }).join();
    EXPECT_FALSE(otherThreadSees);
    EXPECT_TRUE(manager.WasLastCanceled());
}

TEST_F(ResourceEventTest, FailingHandlersDoNotStopTheOthers)
{
    Resource* a = Start("A");
    Subscribe(a, "ev", [](uint32_t) { return false; });
    a->AddHandler("ev", restest::FakeHandler(999), false); // no such function: cannot be pushed
    uint32_t argCount = 0;
    Subscribe(a, "ev", [&](uint32_t count) { return argCount = count, true; });
    LogCapture log;
    ScriptContext args;
    args.AddString("two");
    EXPECT_TRUE(manager.TriggerEvent("ev", kServerEventSource, false, args));
    EXPECT_EQ(argCount, 1u);
    EXPECT_EQ(TakeCalls(), (Calls{"A:1", "A:2"}));
    EXPECT_EQ(log.Messages(spdlog::level::err),
              (Calls{"[ResourceEvent] Failed to call a handler function of event ev in resource A.",
                     "[ResourceEvent] Failed to push a handler function of event ev in resource A."}));
}

TEST_F(ResourceEventTest, StartReachesEarlierSubscribersAndTearsDownOnFailure)
{
    WriteFakeResource("A", {"a.lua"});
    WriteFakeResource("B", {"b.lua"});
    WriteFakeResource("C", {"c1.lua", "c2.lua", "c3.lua"});
    for (const char* script : {"a.lua", "b.lua", "c1.lua"})
        scripts.onLoad[script] = [&](Resource* r) { Subscribe(r, "resourceStart"); };
    scripts.failingScripts.insert("c2.lua");
    ASSERT_NE(server.StartResource("A"), nullptr);
    manager.Process();
    ASSERT_NE(server.StartResource("B"), nullptr);
    manager.Process();
    EXPECT_EQ(TakeCalls(), (Calls{"A:1", "A:1", "B:2"}));

    Resource* c = manager.CreateResource("C");
    ASSERT_TRUE(c->Load());
    EXPECT_FALSE(c->Start());
    EXPECT_EQ(scripts.loaded, (Calls{"A:a.lua", "B:b.lua", "C:c1.lua", "C:c2.lua"}));
    EXPECT_TRUE(c->IsLoaded() && !c->IsStarted() && c->GetVM() == nullptr);
    EXPECT_EQ(c->GetHandlerCount(), 0u);
}

TEST_F(ResourceEventTest, StopCanBeCanceledAndDropsQueuedEvents)
{
    WriteFakeResource("A", {"main.lua"});
    scripts.onLoad["main.lua"] = [&](Resource* r) { Subscribe(r, "ev"); };
    Resource* a = server.StartResource("A");
    bool cancel = true;
    bool vmAliveDuringStop = false;
    Subscribe(a, "resourceStop",
              [&](uint32_t count)
              {
                  vmAliveDuringStop = count == 1 && manager.GetResource("A") == a && a->GetVM() != nullptr;
                  return !cancel || Cancel();
              });
    // Stopping what never started raises no event.
    WriteFakeResource("B", {"b.lua"});
    ASSERT_TRUE(manager.CreateResource("B")->Load());
    LogCapture log;
    manager.StopResource("never-created");
    manager.StopResource("B");
    EXPECT_TRUE(TakeCalls().empty());
    EXPECT_TRUE(log.Messages(spdlog::level::info).empty());

    manager.StopResource("A");
    EXPECT_EQ(log.Messages(spdlog::level::info),
              Calls{"[ResourceManager] Stopping of resource A was canceled."});
    EXPECT_TRUE(manager.GetResource("A") == a && a->IsStarted());

    cancel = false;
    vmAliveDuringStop = false;
    Queue("ev");
    log.Clear();
    manager.StopResource("A");
    EXPECT_EQ(log.Messages(spdlog::level::info), Calls{"[Resource] Stopped resource A."});
    EXPECT_TRUE(vmAliveDuringStop) << "handlers run before the VM goes";
    ASSERT_NE(server.StartResource("A"), nullptr);
    manager.Process();
    EXPECT_EQ(TakeCalls(), (Calls{"A:2", "A:2"})) << "the queued event went with the old instance";

    // A walk never reaches a resource stopped during it, nor one created during it.
    Resource* d = Start("D");
    Resource* e = Start("E");
    WriteFakeResource("F", {"f.lua"});
    scripts.onLoad["f.lua"] = [&](Resource* r) { Subscribe(r, "walk"); };
    const std::string walker = "D:" + std::to_string(nextId);
    Subscribe(d, "walk",
              [&](uint32_t) { return manager.StopResource("E"), server.StartResource("F"), true; });
    Subscribe(e, "walk");
    const std::string joiner = "F:" + std::to_string(nextId);
    TakeCalls();
    Trigger("walk");
    EXPECT_EQ(TakeCalls(), Calls{walker});
    EXPECT_EQ(manager.GetResource("E"), nullptr);
    Trigger("walk");
    EXPECT_EQ(TakeCalls(), (Calls{walker, joiner}));
}

} // namespace
