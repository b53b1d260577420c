// meta.xml reading and the resource's folder rules: every refusal message, the accepted grammar,
// extension and blocked-file rules, and names or paths that would leave the resource's folders.

#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "LogCapture.h"
#include "ResourceTestUtil.h"

namespace
{

using restest::TempBase;
using restest::TestServer;

struct MetaCase
{
    const char* label;
    std::string meta;
    std::map<std::string, std::string> files;
    // Load's one error line; empty when the load succeeds. "{path}" stands for the meta.xml path.
    std::string error;
};

std::string Reason(const char* reason)
{
    return std::string("[Resource] Could not parse meta.xml for resource res (reason: ") + reason + ").";
}

const std::vector<MetaCase> kRefusals = {
    {"no root named meta", R"(<resource type="lua"/>)", {}, Reason("meta attribute")},
    {"root without type", R"(<meta/>)", {}, Reason("resource type attribute")},
    {"type in another case", R"(<meta type="Lua"/>)", {}, Reason("unknown resource type")},
    {"unknown type", R"(<meta type="python"/>)", {}, Reason("unknown resource type")},
    {"script without src",
     R"(<meta type="lua"><script type="server"/></meta>)",
     {},
     Reason("script src attribute")},
    {"file without src", R"(<meta type="lua"><file/></meta>)", {}, Reason("file src attribute")},
    {"export without function",
     R"(<meta type="lua"><export type="server"/></meta>)",
     {},
     Reason("export function attribute")},
    {"lua extension is case-sensitive",
     R"(<meta type="lua"><script src="main.LUA" type="server"/></meta>)",
     {{"main.LUA", ""}},
     "[Resource] main.LUA isn't a lua file (resource: res)."},
    {"squirrel refuses .squirrel",
     R"(<meta type="squirrel"><script src="c.squirrel" type="server"/></meta>)",
     {{"c.squirrel", ""}},
     "[Resource] c.squirrel isn't a squirrel file (resource: res)."},
    {"client scripts need the language too",
     R"(<meta type="squirrel"><script src="ui.lua" type="client"/></meta>)",
     {{"ui.lua", ""}},
     "[Resource] ui.lua isn't a squirrel file (resource: res)."},
    {"dot in a folder name is the extension",
     R"(<meta type="lua"><script src="docs.old/readme" type="server"/></meta>)",
     {{"docs.old/readme", ""}},
     "[Resource] docs.old/readme isn't a lua file (resource: res)."},
    {"script without any dot",
     R"(<meta type="lua"><script src="main" type="server"/></meta>)",
     {{"main", ""}},
     "[Resource] main isn't a lua file (resource: res)."},
    {"missing script",
     R"(<meta type="lua"><script src="gone.lua" type="server"/></meta>)",
     {},
     "[Resource] Could not find gone.lua declared in resource res."},
    {"missing file",
     R"(<meta type="lua"><file src="gone.png"/></meta>)",
     {},
     "[Resource] Could not find gone.png declared in resource res."},
    {"script type missing",
     R"(<meta type="lua"><script src="a.lua"/></meta>)",
     {{"a.lua", ""}},
     "[Resource] Could not detect script type of a.lua (resource: res)."},
    {"script type in another case",
     R"(<meta type="lua"><script src="a.lua" type="Server"/></meta>)",
     {{"a.lua", ""}},
     "[Resource] Could not detect script type of a.lua (resource: res)."},
    {"export type missing",
     R"(<meta type="lua"><export function="f"/></meta>)",
     {},
     "[Resource] Could not detect export type of f (resource: res)."},
    {"export type unknown",
     R"(<meta type="lua"><export function="f" type="both"/></meta>)",
     {},
     "[Resource] Could not detect export type of f (resource: res)."},
    {"blocked .exe",
     R"(<meta type="lua"><file src="tools/setup.exe"/></meta>)",
     {{"tools/setup.exe", ""}},
     "[Resource] Blocked dangerous looking file tools/setup.exe. (resource: res)."},
    {"blocked in upper case",
     R"(<meta type="lua"><file src="tools/SETUP.EXE"/></meta>)",
     {{"tools/SETUP.EXE", ""}},
     "[Resource] Blocked dangerous looking file tools/SETUP.EXE. (resource: res)."},
    {"blocked in mixed case",
     R"(<meta type="lua"><file src="run.Bat"/></meta>)",
     {{"run.Bat", ""}},
     "[Resource] Blocked dangerous looking file run.Bat. (resource: res)."},
    {"blocked .cmd",
     R"(<meta type="lua"><file src="a.cmd"/></meta>)",
     {{"a.cmd", ""}},
     "[Resource] Blocked dangerous looking file a.cmd. (resource: res)."},
    {"blocked .vbs",
     R"(<meta type="lua"><file src="a.VBS"/></meta>)",
     {{"a.VBS", ""}},
     "[Resource] Blocked dangerous looking file a.VBS. (resource: res)."},
    {"blocked .scr before the existence check",
     R"(<meta type="lua"><file src="absent.scr"/></meta>)",
     {},
     "[Resource] Blocked dangerous looking file absent.scr. (resource: res)."},
    {"script climbing out",
     R"(<meta type="lua"><script src="../other/a.lua" type="server"/></meta>)",
     {},
     "[Resource] Invalid path ../other/a.lua in resource res."},
    {"script climbing out midway",
     R"(<meta type="lua"><script src="a/../../x.lua" type="client"/></meta>)",
     {},
     "[Resource] Invalid path a/../../x.lua in resource res."},
    {"absolute file",
     R"(<meta type="lua"><file src="/etc/hostname"/></meta>)",
     {},
     "[Resource] Invalid path /etc/hostname in resource res."},
    {"backslash climbing out",
     R"(<meta type="lua"><file src="..\secret.txt"/></meta>)",
     {},
     "[Resource] Invalid path ..\\secret.txt in resource res."},
    {"empty src",
     R"(<meta type="lua"><file src=""/></meta>)",
     {},
     "[Resource] Invalid path  in resource res."},
    {"refusal after earlier records",
     R"(<meta type="lua"><script src="a.lua" type="server"/><file src="b.exe"/></meta>)",
     {{"a.lua", ""}, {"b.exe", ""}},
     "[Resource] Blocked dangerous looking file b.exe. (resource: res)."},
};

class ResourceMetaTest : public ::testing::Test
{
protected:
    void SetUp() override { restest::ResetSettings(); }

    TempBase base;
};

TEST_F(ResourceMetaTest, EveryRefusalLogsItsOneLine)
{
    for (const MetaCase& c : kRefusals)
    {
        SCOPED_TRACE(c.label);
        base.WriteResource("res", c.meta, c.files);
        TestServer server;
        Resource* resource = server.Manager().CreateResource("res");
        ASSERT_NE(resource, nullptr);

        LogCapture log;
        EXPECT_FALSE(resource->Load());
        EXPECT_FALSE(resource->IsLoaded());
        EXPECT_EQ(log.Messages(spdlog::level::err), std::vector<std::string>{c.error});
        std::error_code error;
        std::filesystem::remove_all(base.folder / "resources", error);
    }
}

TEST_F(ResourceMetaTest, MissingAndMalformedMetaFiles)
{
    TestServer server;
    {
        Resource* resource = server.Manager().CreateResource("nometa");
        LogCapture log;
        EXPECT_FALSE(resource->Load());
        const std::string path = (base.folder / "resources/nometa/meta.xml").string();
        EXPECT_EQ(log.Messages(spdlog::level::err),
                  std::vector<std::string>{
                      "[Resource] Could not find meta.xml for resource nometa (path: " + path + ")."});
    }
    {
        base.WriteResource("broken", "<meta type=\"lua\"><script></meta>");
        Resource* resource = server.Manager().CreateResource("broken");
        LogCapture log;
        EXPECT_FALSE(resource->Load());
        auto errors = log.Messages(spdlog::level::err);
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_EQ(errors[0].rfind("[Resource] Could not load meta.xml for resource broken (error: ", 0), 0u)
            << errors[0];
    }
}

TEST_F(ResourceMetaTest, AcceptedGrammarKeepsDocumentOrder)
{
    // Interleaved elements: scripts first in document order, then files; unknown elements and
    // attributes are ignored; names that only look blocked pass.
    base.WriteResource("res",
                       R"(<meta type="lua" author="x">
  <file src="setup.exe.txt"/>
  <script src="b.lua" type="client"/>
  <export function="clientFn" type="client"/>
  <Script src="ignored.lua" type="server"/>
  <description>anything</description>
  <script src="sub/a.lua" type="shared"/>
  <file src="docs.old/readme"/>
  <file src="LICENSE"/>
  <script src="z.lua" type="server"/>
  <export function="serverFn" type="server"/>
  <export function="sharedFn" type="shared"/>
</meta>)",
                       {{"setup.exe.txt", "t"},
                        {"b.lua", "b"},
                        {"sub/a.lua", "a"},
                        {"docs.old/readme", "r"},
                        {"LICENSE", "l"},
                        {"z.lua", "z"}});
    TestServer server;
    Resource* resource = server.Manager().CreateResource("res");
    LogCapture log;
    ASSERT_TRUE(resource->Load());
    EXPECT_TRUE(log.Messages(spdlog::level::err).empty());

    std::vector<std::pair<std::string, uint32_t>> files;
    for (const auto& file : resource->GetFiles())
        files.emplace_back(file->GetPath(), file->GetKind());
    EXPECT_EQ(files, (std::vector<std::pair<std::string, uint32_t>>{{"b.lua", ClientScript},
                                                                    {"sub/a.lua", SharedScript},
                                                                    {"z.lua", ServerScript},
                                                                    {"setup.exe.txt", PlainFile},
                                                                    {"docs.old/readme", PlainFile},
                                                                    {"LICENSE", PlainFile}}));
    std::vector<std::pair<std::string, uint32_t>> exports;
    for (const auto& exported : resource->GetExports())
        exports.emplace_back(exported->function, exported->type);
    EXPECT_EQ(exports, (std::vector<std::pair<std::string, uint32_t>>{
                           {"clientFn", 0}, {"serverFn", 1}, {"sharedFn", 2}}));
    EXPECT_EQ(resource->GetScriptType(), ResourceLua);
}

TEST_F(ResourceMetaTest, SquirrelExtensionsAndEmptyMeta)
{
    base.WriteResource(
        "sq",
        R"(<meta type="squirrel"><script src="a.nut" type="server"/><script src="b.sq" type="client"/></meta>)",
        {{"a.nut", ""}, {"b.sq", ""}});
    base.WriteResource("empty", R"(<meta type="lua"/>)");
    TestServer server;
    Resource* squirrel = server.Manager().CreateResource("sq");
    ASSERT_TRUE(squirrel->Load());
    EXPECT_EQ(squirrel->GetScriptType(), ResourceSquirrel);
    EXPECT_EQ(squirrel->GetFiles().size(), 2u);

    Resource* empty = server.Manager().CreateResource("empty");
    ASSERT_TRUE(empty->Load());
    EXPECT_TRUE(empty->GetFiles().empty());
    EXPECT_TRUE(empty->GetExports().empty());
}

TEST_F(ResourceMetaTest, LoadTwiceReadsNothingAgain)
{
    base.WriteResource("res", R"(<meta type="lua"><file src="a.txt"/></meta>)", {{"a.txt", "a"}});
    TestServer server;
    Resource* resource = server.Manager().CreateResource("res");
    ASSERT_TRUE(resource->Load());
    base.Write("resources/res/meta.xml", "not xml at all <");
    LogCapture log;
    EXPECT_TRUE(resource->Load());
    EXPECT_TRUE(log.Messages().empty());
    EXPECT_EQ(resource->GetFiles().size(), 1u);
}

TEST_F(ResourceMetaTest, StartNeedsALoad)
{
    base.WriteResource("res", R"(<meta type="lua"/>)");
    TestServer server;
    Resource* resource = server.Manager().CreateResource("res");
    LogCapture log;
    EXPECT_FALSE(resource->Start());
    EXPECT_TRUE(log.Messages().empty());
    EXPECT_EQ(resource->GetVM(), nullptr);
}

TEST_F(ResourceMetaTest, InvalidNamesTouchNothing)
{
    TestServer server;
    for (const std::string name : {"", ".", "..", "a/b", "a\\b", "/tmp", "../res"})
    {
        SCOPED_TRACE("name \"" + name + "\"");
        Resource* resource = server.Manager().CreateResource(name);
        ASSERT_NE(resource, nullptr);
        LogCapture log;
        EXPECT_FALSE(resource->Load());
        EXPECT_EQ(log.Messages(spdlog::level::err),
                  std::vector<std::string>{"[Resource] Invalid resource name " + name + "."});
        server.Manager().StopResource(name);
    }
    // Nothing was created for any of them: not even the cache folder's parents.
    EXPECT_FALSE(base.Exists("cache"));
    EXPECT_FALSE(base.Exists("tmp"));
}

TEST_F(ResourceMetaTest, FileSystemErrorsAreRefusalsNotCrashes)
{
    // A link loop makes the existence test itself fail (not merely report absence).
    base.WriteResource("res", R"(<meta type="lua"><file src="loop.txt"/></meta>)");
    ASSERT_EQ(symlink("loop.txt", (base.folder / "resources/res/loop.txt").c_str()), 0);
    TestServer server;
    Resource* resource = server.Manager().CreateResource("res");
    LogCapture log;
    EXPECT_FALSE(resource->Load());
    EXPECT_EQ(log.Messages(spdlog::level::err),
              std::vector<std::string>{"[Resource] Could not find loop.txt declared in resource res."});
}

TEST_F(ResourceMetaTest, CacheFolderThatCannotBeCreatedFailsTheLoad)
{
    base.Write("cache", "a file where the cache folder should be");
    base.WriteResource("res", R"(<meta type="lua"/>)");
    TestServer server;
    Resource* resource = server.Manager().CreateResource("res");
    ASSERT_NE(resource, nullptr);
    LogCapture log;
    EXPECT_FALSE(resource->Load());
    EXPECT_EQ(log.Messages(spdlog::level::err),
              std::vector<std::string>{"[Resource] Failed updating cache of resource res."});
}

TEST_F(ResourceMetaTest, ConstructionCreatesTheCacheFolderOnce)
{
    TestServer server;
    LogCapture log;
    Resource* first = server.Manager().CreateResource("res");
    ASSERT_NE(first, nullptr);
    EXPECT_TRUE(base.Exists("cache/resources/res"));
    EXPECT_FALSE(base.Exists("resources/res")) << "the resource folder is not looked at";
    EXPECT_EQ(server.Manager().CreateResource("res"), nullptr);
    EXPECT_EQ(server.Manager().GetResource("res"), first);
    EXPECT_NE(server.Manager().CreateResource("Res"), nullptr) << "names are case-sensitive";
    EXPECT_EQ(log.Messages(spdlog::level::debug),
              (std::vector<std::string>{"[Debug] Created resource: res", "[Debug] Created resource: Res"}));
}

} // namespace
