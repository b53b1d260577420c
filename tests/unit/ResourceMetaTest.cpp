// meta.xml reading and the resource's folder rules: every refusal message, the accepted grammar,
// blocked files and names or paths that would leave the resource's folders.

#include <map>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "LogCapture.h"
#include "ResourceTestUtil.h"

namespace
{

struct MetaCase
{
    std::string meta;
    std::string file;  // created next to meta.xml unless empty
    std::string error; // Load's one error line
};

const auto Lua = [](const std::string& body) { return "<meta type=\"lua\">" + body + "</meta>"; };
const auto Res = [](const std::string& text) { return "[Resource] " + text; };
const auto Reason = [](const char* reason)
{ return Res("Could not parse meta.xml for resource res (reason: ") + reason + ")."; };
MetaCase NotLanguage(const std::string& type, const std::string& src, const std::string& kind = "server")
{
    return {"<meta type=\"" + type + "\"><script src=\"" + src + "\" type=\"" + kind + "\"/></meta>", src,
            Res(src + " isn't a " + type + " file (resource: res).")};
}
MetaCase Blocked(const std::string& src, bool exists = true)
{
    return {Lua("<file src=\"" + src + "\"/>"), exists ? src : "",
            Res("Blocked dangerous looking file " + src + ". (resource: res).")};
}
MetaCase InvalidPath(const std::string& src)
{
    return {Lua("<file src=\"" + src + "\"/>"), "", Res("Invalid path " + src + " in resource res.")};
}

const std::vector<MetaCase> kRefusals = {
    {R"(<resource type="lua"/>)", "", Reason("meta attribute")},
    {R"(<meta/>)", "", Reason("resource type attribute")},
    {R"(<meta type="Lua"/>)", "", Reason("unknown resource type")},
    {Lua(R"(<script type="server"/>)"), "", Reason("script src attribute")},
    {Lua(R"(<file/>)"), "", Reason("file src attribute")},
    {Lua(R"(<export type="server"/>)"), "", Reason("export function attribute")},
    NotLanguage("lua", "main.LUA"),
    NotLanguage("squirrel", "ui.lua", "client"),
    NotLanguage("lua", "docs.old/readme"), // a dot in a folder name is no extension
    {Lua(R"(<file src="x"/>)"), "", Res("Could not find x declared in resource res.")},
    {Lua(R"(<script src="a.lua" type="Server"/>)"), "a.lua",
     Res("Could not detect script type of a.lua (resource: res).")},
    {Lua(R"(<export function="f"/>)"), "", Res("Could not detect export type of f (resource: res).")},
    Blocked("tools/SETUP.EXE"),
    Blocked("run.Bat"),
    Blocked("a.cmd"),
    Blocked("a.vbs"),
    Blocked("absent.Scr", false), // before the existence check
    InvalidPath("../other/a.lua"),
    InvalidPath("a/../../x.lua"),
    InvalidPath("/etc/hostname"),
    InvalidPath("..\\secret.txt"),
    InvalidPath(""),
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

    restest::TempBase base;
    restest::TestServer server;
};

TEST_F(ResourceMetaTest, EveryRefusalLogsItsOneLine)
{
    for (const MetaCase& c : kRefusals)
    {
        base.WriteResource("res", c.meta,
                           c.file.empty() ? std::map<std::string, std::string>{}
                                          : std::map<std::string, std::string>{{c.file, ""}});
        EXPECT_EQ(LoadErrors("res"), std::vector<std::string>{c.error}) << c.meta;
        server.Manager().StopResource("res");
        std::filesystem::remove_all(base.folder / "resources");
    }
}

TEST_F(ResourceMetaTest, MissingMalformedMetaAndAnUncreatableCache)
{
    const std::string path = (base.folder / "resources/nometa/meta.xml").string();
    const std::string missing = Res("Could not find meta.xml for resource nometa (path: " + path + ").");
    EXPECT_EQ(LoadErrors("nometa"), std::vector<std::string>{missing});
    base.WriteResource("broken", "<meta type=\"lua\"><script></meta>");
    auto errors = LoadErrors("broken");
    ASSERT_TRUE(errors && errors->size() == 1u);
    EXPECT_EQ(errors->at(0).rfind("[Resource] Could not load meta.xml for resource broken (error: ", 0), 0u);

    std::filesystem::remove_all(base.folder / "cache");
    base.Write("cache", "a file where the cache folder should be");
    base.WriteResource("res", R"(<meta type="lua"/>)");
    EXPECT_EQ(LoadErrors("res"), std::vector<std::string>{Res("Failed updating cache of resource res.")});
}

TEST_F(ResourceMetaTest, AcceptedGrammarKeepsDocumentOrder)
{
    // Scripts first, then files; unknown elements and attributes are ignored; look-alikes pass.
    base.WriteResource("res", R"(<meta type="lua" author="x">
  <file src="setup.exe.txt"/>
  <script src="b.lua" type="client"/>
  <Script src="ignored.lua" type="server"/>
  <export function="serverFn" type="server"/>
  <script src="sub/a.lua" type="shared"/>
  <file src="LICENSE"/>
  <export function="clientFn" type="client"/>
</meta>)",
                       {{"setup.exe.txt", "t"}, {"b.lua", "b"}, {"sub/a.lua", "a"}, {"LICENSE", "l"}});
    Resource* resource = server.Manager().CreateResource("res");
    LogCapture log;
    ASSERT_TRUE(resource->Load());
    EXPECT_TRUE(log.Messages(spdlog::level::err).empty());
    std::string listed;
    for (const auto& file : resource->GetFiles())
        listed += file->GetPath() + ":" + std::to_string(file->GetKind()) + " ";
    for (const auto& exported : resource->GetExports())
        listed += exported->function + ":" + std::to_string(exported->type) + " ";
    EXPECT_EQ(listed, "b.lua:" + std::to_string(ClientScript) + " sub/a.lua:" + std::to_string(SharedScript) +
                          " setup.exe.txt:" + std::to_string(PlainFile) +
                          " LICENSE:" + std::to_string(PlainFile) + " serverFn:1 clientFn:0 ");
}

TEST_F(ResourceMetaTest, InvalidNamesTouchNothing)
{
    for (const std::string name : {"", ".", "..", "a/b", "a\\b", "/tmp", "../res"})
    {
        EXPECT_EQ(LoadErrors(name), std::vector<std::string>{Res("Invalid resource name " + name + ".")});
        server.Manager().StopResource(name);
    }
    EXPECT_FALSE(base.Exists("cache") || base.Exists("tmp"));
}

} // namespace
