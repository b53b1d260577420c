// meta.xml reading and the resource's folder rules: every refusal message, the accepted grammar,
// extension and blocked-file rules, and names or paths that would leave the resource's folders.

#include <unistd.h>

#include <optional>
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
    std::string meta;
    std::vector<std::string> files; // created next to meta.xml
    std::string error;              // Load's one error line
};

std::string Lua(const std::string& body)
{
    return "<meta type=\"lua\">" + body + "</meta>";
}
std::string Reason(const char* reason)
{
    return std::string("[Resource] Could not parse meta.xml for resource res (reason: ") + reason + ").";
}
std::string Line(const std::string& text)
{
    return "[Resource] " + text;
}
MetaCase NotLanguage(const std::string& type, const std::string& src, const std::string& kind = "server")
{
    return {"<meta type=\"" + type + "\"><script src=\"" + src + "\" type=\"" + kind + "\"/></meta>",
            {src},
            Line(src + " isn't a " + type + " file (resource: res).")};
}
MetaCase Blocked(const std::string& src, bool exists = true)
{
    return {Lua("<file src=\"" + src + "\"/>"),
            exists ? std::vector<std::string>{src} : std::vector<std::string>{},
            Line("Blocked dangerous looking file " + src + ". (resource: res).")};
}
MetaCase InvalidPath(const std::string& element)
{
    std::string src = element.substr(element.find("src=\"") + 5);
    src = src.substr(0, src.find('"'));
    return {Lua(element), {}, Line("Invalid path " + src + " in resource res.")};
}

const std::vector<MetaCase> kRefusals = {
    {R"(<resource type="lua"/>)", {}, Reason("meta attribute")},
    {R"(<meta/>)", {}, Reason("resource type attribute")},
    {R"(<meta type="Lua"/>)", {}, Reason("unknown resource type")},
    {R"(<meta type="python"/>)", {}, Reason("unknown resource type")},
    {Lua(R"(<script type="server"/>)"), {}, Reason("script src attribute")},
    {Lua(R"(<file/>)"), {}, Reason("file src attribute")},
    {Lua(R"(<export type="server"/>)"), {}, Reason("export function attribute")},
    NotLanguage("lua", "main.LUA"),
    NotLanguage("squirrel", "c.squirrel"),
    NotLanguage("squirrel", "ui.lua", "client"),
    NotLanguage("lua", "docs.old/readme"), // a dot in a folder name is no extension
    NotLanguage("lua", "main"),
    {Lua(R"(<script src="gone.lua" type="server"/>)"),
     {},
     Line("Could not find gone.lua declared in resource res.")},
    {Lua(R"(<file src="gone.png"/>)"), {}, Line("Could not find gone.png declared in resource res.")},
    {Lua(R"(<script src="a.lua"/>)"),
     {"a.lua"},
     Line("Could not detect script type of a.lua (resource: res).")},
    {Lua(R"(<script src="a.lua" type="Server"/>)"),
     {"a.lua"},
     Line("Could not detect script type of a.lua (resource: res).")},
    {Lua(R"(<export function="f"/>)"), {}, Line("Could not detect export type of f (resource: res).")},
    {Lua(R"(<export function="f" type="both"/>)"),
     {},
     Line("Could not detect export type of f (resource: res).")},
    Blocked("tools/setup.exe"),
    Blocked("tools/SETUP.EXE"),
    Blocked("run.Bat"),
    Blocked("a.cmd"),
    Blocked("a.VBS"),
    Blocked("absent.scr", false), // before the existence check
    InvalidPath(R"(<script src="../other/a.lua" type="server"/>)"),
    InvalidPath(R"(<script src="a/../../x.lua" type="client"/>)"),
    InvalidPath(R"(<file src="/etc/hostname"/>)"),
    InvalidPath(R"(<file src="..\secret.txt"/>)"),
    InvalidPath(R"(<file src=""/>)"),
    {Lua(R"(<script src="a.lua" type="server"/><file src="b.exe"/>)"),
     {"a.lua", "b.exe"},
     Line("Blocked dangerous looking file b.exe. (resource: res).")},
};

class ResourceMetaTest : public ::testing::Test
{
protected:
    void SetUp() override { restest::ResetSettings(); }

    // Loads resource `name` and returns its error lines, or nothing when Load succeeded.
    std::optional<std::vector<std::string>> LoadErrors(const std::string& name)
    {
        Resource* resource = server.Manager().CreateResource(name);
        EXPECT_NE(resource, nullptr);
        LogCapture log;
        if (resource == nullptr || resource->Load())
            return std::nullopt;
        EXPECT_FALSE(resource->IsLoaded());
        return log.Messages(spdlog::level::err);
    }

    TempBase base;
    TestServer server;
};

TEST_F(ResourceMetaTest, EveryRefusalLogsItsOneLine)
{
    for (const MetaCase& c : kRefusals)
    {
        std::map<std::string, std::string> files;
        for (const std::string& file : c.files)
            files[file] = "";
        base.WriteResource("res", c.meta, files);
        EXPECT_EQ(LoadErrors("res"), std::vector<std::string>{c.error}) << c.meta;
        server.Manager().StopResource("res");
        std::error_code error;
        std::filesystem::remove_all(base.folder / "resources", error);
    }
}

TEST_F(ResourceMetaTest, MissingMalformedAndUnreadableMeta)
{
    const std::string path = (base.folder / "resources/nometa/meta.xml").string();
    EXPECT_EQ(LoadErrors("nometa"),
              std::vector<std::string>{
                  "[Resource] Could not find meta.xml for resource nometa (path: " + path + ")."});

    base.WriteResource("broken", "<meta type=\"lua\"><script></meta>");
    auto errors = LoadErrors("broken");
    ASSERT_TRUE(errors && errors->size() == 1u);
    EXPECT_EQ(errors->at(0).rfind("[Resource] Could not load meta.xml for resource broken (error: ", 0), 0u);

    // A link loop makes the existence test itself fail (not merely report absence).
    base.WriteResource("loop", Lua(R"(<file src="loop.txt"/>)"));
    ASSERT_EQ(symlink("loop.txt", (base.folder / "resources/loop/loop.txt").c_str()), 0);
    EXPECT_EQ(LoadErrors("loop"),
              std::vector<std::string>{"[Resource] Could not find loop.txt declared in resource loop."});
}

TEST_F(ResourceMetaTest, AcceptedGrammarKeepsDocumentOrder)
{
    // Scripts first in document order, then files; unknown elements and attributes are ignored;
    // names that only look blocked pass.
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
    Resource* resource = server.Manager().CreateResource("res");
    EXPECT_EQ(resource->Start(), false) << "Start needs a load";
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

    // A second load reads nothing again.
    base.Write("resources/res/meta.xml", "not xml at all <");
    EXPECT_TRUE(resource->Load());
    EXPECT_EQ(resource->GetFiles().size(), 6u);
    EXPECT_TRUE(log.Messages(spdlog::level::err).empty());
}

TEST_F(ResourceMetaTest, SquirrelExtensionsAndEmptyMeta)
{
    base.WriteResource(
        "sq",
        R"(<meta type="squirrel"><script src="a.nut" type="server"/><script src="b.sq" type="client"/></meta>)",
        {{"a.nut", ""}, {"b.sq", ""}});
    base.WriteResource("empty", R"(<meta type="lua"/>)");
    Resource* squirrel = server.Manager().CreateResource("sq");
    ASSERT_TRUE(squirrel->Load());
    EXPECT_EQ(squirrel->GetScriptType(), ResourceSquirrel);
    EXPECT_EQ(squirrel->GetFiles().size(), 2u);
    Resource* empty = server.Manager().CreateResource("empty");
    ASSERT_TRUE(empty->Load());
    EXPECT_TRUE(empty->GetFiles().empty() && empty->GetExports().empty());
}

TEST_F(ResourceMetaTest, InvalidNamesTouchNothing)
{
    for (const std::string name : {"", ".", "..", "a/b", "a\\b", "/tmp", "../res"})
    {
        EXPECT_EQ(LoadErrors(name),
                  std::vector<std::string>{"[Resource] Invalid resource name " + name + "."});
        server.Manager().StopResource(name);
    }
    // Nothing was created for any of them: not even the cache folder's parents.
    EXPECT_FALSE(base.Exists("cache"));
    EXPECT_FALSE(base.Exists("tmp"));
}

TEST_F(ResourceMetaTest, CacheFolderIsCreatedOnceOnConstruction)
{
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

TEST_F(ResourceMetaTest, CacheFolderThatCannotBeCreatedFailsTheLoad)
{
    base.Write("cache", "a file where the cache folder should be");
    base.WriteResource("res", R"(<meta type="lua"/>)");
    EXPECT_EQ(LoadErrors("res"),
              std::vector<std::string>{"[Resource] Failed updating cache of resource res."});
}

} // namespace
