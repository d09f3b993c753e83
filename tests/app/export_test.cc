// `bootstrap export`: quoting, the Compose file's content, the choice of CPU
// count, writing the file, and the file as docker-compose (an implementation
// we did not write) reads it back.
#include "bootstrap/installer/compose_export.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "bootstrap/docker/command_split.h"
#include "bootstrap/docker/docker_client.h"
#include "bootstrap/docker/errors.h"
#include "bootstrap/installer/lumadex/lumadex_installer.h"
#include "bootstrap/installer/swarm_deployment.h"
#include "tests/support/run.h"

namespace bootstrap::testing {
namespace {

using installer::ServiceDescription;
using installer::ServiceList;
using installer::lumadex::LumadexInstaller;
using nlohmann::json;

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

bool starts_with(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void write_file(const std::filesystem::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// A fresh folder, removed with the object.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "kestro-ops.XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

installer::ExportOptions options(unsigned cpus, std::optional<std::string> version = std::nullopt) {
  installer::ExportOptions o;
  o.application_image = LumadexInstaller::main_service;
  o.version = std::move(version);
  o.cpu_count = cpus;
  return o;
}

// --- Quoting ---------------------------------------------------------------------

TEST(YamlQuote, EscapesWhatWouldChangeTheDocument) {
  EXPECT_EQ("\"plain\"", installer::yaml_quote("plain"));
  EXPECT_EQ("\"\"", installer::yaml_quote(""));
  EXPECT_EQ("\"a: b # c\"", installer::yaml_quote("a: b # c"));
  EXPECT_EQ("\"say \\\"hi\\\" \\\\ bye\"", installer::yaml_quote("say \"hi\" \\ bye"));
  EXPECT_EQ("\"one\\ntwo\\tthree\\rfour\"", installer::yaml_quote("one\ntwo\tthree\rfour"));
  EXPECT_EQ("\"\\x00\\x01\\x1F\\x7F\"", installer::yaml_quote(std::string("\0\x01\x1f\x7f", 4)));
  // C1 controls, NEL and the Unicode line/paragraph separators, the BOM.
  EXPECT_EQ("\"\\x80\\N\\L\\P\\uFEFF\"",
            installer::yaml_quote("\xC2\x80\xC2\x85\xE2\x80\xA8\xE2\x80\xA9\xEF\xBB\xBF"));
  // Other characters stay as they are.
  EXPECT_EQ("\"İstanbul 東京 \xF0\x9F\x98\x80\"", installer::yaml_quote("İstanbul 東京 \xF0\x9F\x98\x80"));
}

TEST(YamlQuote, RefusesTextThatIsNotUtf8) {
  for (const std::string& bad : {std::string("\xC3"), std::string("a\xFF"),
                                 std::string("\xC0\xAF"),           // overlong "/"
                                 std::string("\xED\xA0\x80"),       // surrogate
                                 std::string("\xF4\x90\x80\x80"),   // above U+10FFFF
                                 std::string("\xE2\x28\xA1")}) {    // bad continuation
    EXPECT_THROW(installer::yaml_quote(bad), std::invalid_argument) << ::testing::PrintToString(bad);
  }
}

TEST(YamlQuote, ComposeValuesDoubleTheDollar) {
  EXPECT_EQ("\"$$HOME and $${X} cost $$5\"", installer::compose_value("$HOME and ${X} cost $5"));
  EXPECT_EQ("\"no dollar\"", installer::compose_value("no dollar"));
}

// --- The file ------------------------------------------------------------------------

TEST(ComposeFile, CatalogueEntries) {
  const std::string text =
      installer::compose_file("lumadex", LumadexInstaller::lumadex_services, options(2, "2.3"));
  EXPECT_TRUE(starts_with(text, "# lumadex as a Compose file")) << text;
  EXPECT_FALSE(contains(text, "\nversion:")) << "the current Compose format has no version key";

  // The application entries take the tag; the others keep theirs.
  EXPECT_TRUE(contains(text, "  \"api\":\n    container_name: \"lumadex-api\"\n"
                             "    image: \"lmdx2/app:2.3\"\n"
                             "    command: [\"/bin/sh\", \"-c\", \"./start.sh api\"]\n"))
      << text;
  EXPECT_TRUE(contains(text, "    image: \"elasticsearch:7.12.1\"\n")) << text;
  EXPECT_TRUE(contains(text, "      \"ES_JAVA_OPTS\": \"-Xms512m -Xmx512m\"\n")) << text;
  EXPECT_TRUE(contains(text, "    ulimits:\n      \"memlock\":\n        soft: -1\n        hard: -1\n"))
      << text;
  EXPECT_TRUE(contains(text, "    ports:\n      - \"5000:5000\"\n")) << text;
  EXPECT_TRUE(contains(text, "      - \"/var/run/docker.sock:/var/run/docker.sock\"\n")) << text;
  // Top level: named volumes (host paths are not), networks, engine names.
  EXPECT_TRUE(contains(text, "\nvolumes:\n  \"temp-vol\":\n    name: \"lumadex-temp-vol\"\n")) << text;
  EXPECT_FALSE(contains(text, "\"/var/run/docker.sock\":")) << text;
  EXPECT_TRUE(contains(text, "\nnetworks:\n  \"worker-net\":\n    name: \"lumadex-worker-net\"\n"))
      << text;
  // CPU sets as the engine would really give them on 2 CPUs.
  EXPECT_FALSE(contains(text, "cpuset: \"4-")) << text;
  EXPECT_FALSE(contains(text, "cpuset: \"0-3\"")) << text;

  const std::string untagged =
      installer::compose_file("lumadex", LumadexInstaller::lumadex_services, options(8));
  EXPECT_TRUE(contains(untagged, "    image: \"lmdx2/app\"\n")) << untagged;
  EXPECT_TRUE(contains(untagged, "cpuset: \"4-7\"")) << untagged;
  EXPECT_TRUE(contains(untagged, "cpuset: \"0-3\"")) << untagged;
}

TEST(ComposeFile, EntriesTheCatalogueDoesNotHave) {
  ServiceDescription lone;
  lone.name = "lone";
  lone.image = "kestro/probe";
  lone.environment = installer::KeyValues{};
  lone.volumes = std::vector<std::string>{"cache:/c:ro"};
  const std::string text = installer::compose_file("app", {lone}, options(1));
  // No networks: the engine's default bridge, as the installer leaves it.
  EXPECT_TRUE(contains(text, "    network_mode: \"bridge\"\n")) << text;
  EXPECT_TRUE(contains(text, "    environment: {}\n")) << text;
  // A third part of a volume entry is ignored by the installer, so here too.
  EXPECT_TRUE(contains(text, "      - \"cache:/c\"\n")) << text;
  EXPECT_FALSE(contains(text, "\nnetworks:")) << text;

  ServiceDescription broken = lone;
  broken.command = "sh -c \"unterminated";
  try {
    installer::compose_file("app", {broken}, options(1));
    ADD_FAILURE() << "an unterminated quote was accepted";
  } catch (const std::invalid_argument& e) {
    EXPECT_TRUE(starts_with(e.what(), "service lone: ")) << e.what();
  }
  ServiceDescription no_colon = lone;
  no_colon.volumes = std::vector<std::string>{"cache"};
  EXPECT_THROW(installer::compose_file("app", {no_colon}, options(1)), std::invalid_argument);
}

// What the catalogue does not show of a stack file; the catalogue's own is
// deployed on a real swarm by tests/lumadex/swarm_flow.sh.
TEST(StackFile, EntriesTheCatalogueDoesNotHave) {
  installer::ExportOptions swarm = options(4);
  swarm.swarm = true;
  ServiceDescription lone;
  lone.name = "lone";
  lone.image = "kestro/probe";
  lone.ports = installer::KeyValues{{"53/udp", "5353"}};
  lone.cpuset = "0,2-x";
  lone.environment = installer::KeyValues{{"WNAME", "Lone"}};
  lone.networks = std::vector<std::string>{"net"};
  lone.volumes = std::vector<std::string>{"temp-cache:/c", "/srv:/srv"};
  const std::string text = installer::compose_file("app", {lone}, swarm);
  EXPECT_TRUE(contains(text, "\nversion: \"3.8\"\n")) << text;
  EXPECT_FALSE(contains(text, "container_name") || contains(text, "cpuset") ||
               contains(text, "network_mode") || contains(text, "restart:"))
      << text;
  EXPECT_TRUE(contains(text, "    ports:\n      - target: 53\n        published: 5353\n"
                             "        protocol: \"udp\"\n        mode: \"host\"\n"))
      << text;
  EXPECT_TRUE(contains(text, "        condition: \"none\"\n")) << "no policy is the engine's \"no\"";
  EXPECT_TRUE(contains(text, "\"WNAME\": \"{{if eq .Task.Slot \\\"1\\\"}}Lone{{else}}lone_{{.Task.Slot}}{{end}}\""))
      << text;
  EXPECT_TRUE(contains(text, "    networks:\n      \"net\": {}\n")) << text;
  EXPECT_TRUE(contains(text, "\nnetworks:\n  \"net\":\n    name: \"app-net\"\n    driver: \"overlay\"\n"
                             "    attachable: true\n"))
      << text;
  EXPECT_TRUE(contains(text, "          cpus: \"3\"\n")) << text;
  // Scratch space and host paths keep nothing a task must stay beside.
  EXPECT_TRUE(contains(text, "        order: \"start-first\"\n")) << text;
  EXPECT_FALSE(contains(text, "placement") || contains(text, "label-add")) << text;

  lone.restart = "on-failure:3";
  lone.volumes = std::vector<std::string>{"data:/data"};
  const std::string pinned = installer::compose_file("app", {lone}, swarm);
  EXPECT_TRUE(contains(pinned, "        condition: \"on-failure\"\n")) << pinned;
  EXPECT_TRUE(contains(pinned, "        order: \"stop-first\"\n")) << pinned;
  EXPECT_TRUE(contains(pinned, "constraints: [\"node.labels.io.kestro.place.app-lone==true\"]"))
      << pinned;
  EXPECT_TRUE(contains(pinned, "\n#   docker node update --label-add io.kestro.place.app-lone=true NODE\n"))
      << pinned;

  for (const auto& [port, cpuset] : {std::pair<std::string, std::string>{"http", "0"},
                                     {"5000", "1-0"}, {"5000", "0-1,a"}}) {
    ServiceDescription bad = lone;
    bad.ports = installer::KeyValues{{port, "5000"}};
    bad.cpuset = cpuset;
    try {
      installer::compose_file("app", {bad}, swarm);
      ADD_FAILURE() << "accepted port " << port << " with CPU set " << cpuset;
    } catch (const std::invalid_argument& e) {
      EXPECT_TRUE(starts_with(e.what(), "service lone: ")) << e.what();
    }
  }
}

TEST(ExportCpuCount, AskedThenEngineThenHost) {
  std::string source;
  int engine_asked = 0;
  auto engine = [&](int answer) {
    return [&engine_asked, answer] {
      ++engine_asked;
      return answer;
    };
  };
  EXPECT_EQ(3u, installer::export_cpu_count(3u, engine(8), 2, source));
  EXPECT_EQ("--cpus", source);
  EXPECT_EQ(0, engine_asked) << "--cpus needs no engine";

  EXPECT_EQ(8u, installer::export_cpu_count(std::nullopt, engine(8), 2, source));
  EXPECT_EQ("the engine's count", source);

  EXPECT_EQ(2u, installer::export_cpu_count(std::nullopt, engine(0), 2, source));
  EXPECT_TRUE(contains(source, "this host's count")) << source;

  auto unreachable = []() -> int {
    throw docker::ConnectionError("engine info", "unix:///nowhere", "No such file or directory");
  };
  EXPECT_EQ(2u, installer::export_cpu_count(std::nullopt, unreachable, 2, source));
  EXPECT_EQ("this host's count: the engine did not answer", source);
}

TEST(WriteExport, RefusesToReplaceUnlessForced) {
  TempDir dir;
  const std::filesystem::path file = dir.path() / "compose.yml";
  installer::write_export(file, "first\n", false);
  EXPECT_EQ("first\n", read_file(file));
  struct stat st {};
  ASSERT_EQ(0, ::stat(file.c_str(), &st));
  EXPECT_EQ(0u, st.st_mode & 0133) << "not executable, not writable by others";

  try {
    installer::write_export(file, "second\n", false);
    ADD_FAILURE() << "an existing file was replaced";
  } catch (const std::runtime_error& e) {
    EXPECT_TRUE(contains(e.what(), file.string()) && contains(e.what(), "--force")) << e.what();
  }
  EXPECT_EQ("first\n", read_file(file));

  installer::write_export(file, "third, shorter\n", true);
  EXPECT_EQ("third, shorter\n", read_file(file));

  // A link where the file goes: refused without --force even when it
  // dangles; with it, replaced rather than written through.
  const std::filesystem::path victim = dir.path() / "victim", link = dir.path() / "link.yml";
  std::ofstream(victim) << "keep\n";
  std::filesystem::create_symlink(dir.path() / "absent", link);
  EXPECT_THROW(installer::write_export(link, "x\n", false), std::runtime_error);
  std::filesystem::remove(link);
  std::filesystem::create_symlink(victim, link);
  installer::write_export(link, "x\n", true);
  EXPECT_TRUE(read_file(victim) == "keep\n" && read_file(link) == "x\n" && !is_symlink(link));
  // Nothing else was made: no temporary file, nothing where the link pointed.
  EXPECT_EQ(3, std::distance(std::filesystem::directory_iterator(dir.path()), {}));

  const std::filesystem::path nowhere = dir.path() / "missing" / "compose.yml";
  try {
    installer::write_export(nowhere, "x", true);
    ADD_FAILURE() << "wrote into a missing folder";
  } catch (const std::runtime_error& e) {
    EXPECT_TRUE(contains(e.what(), nowhere.string()) && contains(e.what(), "No such file"))
        << e.what();
  }
}

// --- docker-compose reads it ----------------------------------------------------------

// The path of `program` on PATH, empty when it is not there.
std::string on_path(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path ? path : "");
  for (std::string dir; std::getline(dirs, dir, ':');) {
    std::string candidate = (dir.empty() ? "." : dir) + "/" + program;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "";
}

#define REQUIRE_DOCKER_COMPOSE()                                                         \
  do {                                                                                  \
    if (on_path("docker-compose").empty())                                              \
      GTEST_SKIP() << "docker-compose is not installed (tools/setup installs it)";       \
    if (on_path("python3").empty()) GTEST_SKIP() << "python3 is not installed";          \
  } while (0)

// What `docker-compose config` makes of a file, as JSON (its YAML read by
// PyYAML, the parser docker-compose itself uses). Compose escapes "$" as "$$"
// again in what it prints, so values are compared with that undone.
json compose_config(const std::filesystem::path& file) {
  RunResult config = run_program({"docker-compose", "-f", file.string(), "config"},
                                 {"DOCKER_HOST=unix:///tmp/kestro-ops-nowhere.sock"});
  EXPECT_EQ(0, config.status) << config.err << "\n" << read_file(file);
  if (config.status != 0) return json();
  const std::filesystem::path printed = file.string() + ".config.yml";
  write_file(printed, config.out);
  RunResult converted = run_program(
      {"python3", "-c", "import sys, json, yaml; json.dump(yaml.safe_load(open(sys.argv[1])), sys.stdout)",
       printed.string()});
  EXPECT_EQ(0, converted.status) << converted.err;
  return json::parse(converted.out);
}

std::string undouble(std::string text) {
  for (std::size_t at = text.find("$$"); at != std::string::npos; at = text.find("$$", at + 1))
    text.erase(at, 1);
  return text;
}

TEST(ComposeByDockerCompose, TheCatalogueReadsBackTheSame) {
  REQUIRE_DOCKER_COMPOSE();
  TempDir dir;
  const std::filesystem::path file = dir.path() / "lumadex.yml";
  const ServiceList& catalogue = LumadexInstaller::lumadex_services;
  write_file(file, installer::compose_file("lumadex", catalogue, options(2, "2.3")));

  RunResult services = run_program({"docker-compose", "-f", file.string(), "config", "--services"});
  ASSERT_EQ(0, services.status) << services.err;
  std::vector<std::string> listed = lines_of(services.out);
  std::sort(listed.begin(), listed.end());
  std::vector<std::string> expected;
  for (const ServiceDescription& s : catalogue) expected.push_back(s.name);
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(expected, listed);

  json config = compose_config(file);
  ASSERT_TRUE(config.is_object());
  for (const ServiceDescription& s : catalogue) {
    SCOPED_TRACE(s.name);
    const json& got = config["services"][s.name];
    EXPECT_EQ("lumadex-" + s.name, got["container_name"]);
    EXPECT_EQ(s.image == "lmdx2/app" ? "lmdx2/app:2.3" : s.image, got["image"]);
    if (s.command)
      EXPECT_EQ(json(docker::split_command(*s.command)), got["command"]);
    else
      EXPECT_FALSE(got.contains("command"));
    if (s.environment) {
      ASSERT_EQ(s.environment->size(), got["environment"].size());
      for (const auto& [name, value] : *s.environment)
        EXPECT_EQ(value, undouble(got["environment"][name].get<std::string>())) << name;
    }
    ASSERT_TRUE(s.networks.has_value());
    ASSERT_EQ(s.networks->size(), got["networks"].size());
    for (const std::string& network : *s.networks)
      EXPECT_EQ(json::array({s.name}), got["networks"][network]["aliases"]) << network;
    EXPECT_EQ(installer::resolve_cpuset(*s.cpuset, 2).cpus, got["cpuset"]);
    EXPECT_EQ("always", got["restart"]);
    if (s.ulimits) {
      EXPECT_EQ(-1, got["ulimits"]["memlock"]["soft"]);
      EXPECT_EQ(-1, got["ulimits"]["memlock"]["hard"]);
    }
  }
  const json& api_ports = config["services"]["api"]["ports"];
  ASSERT_EQ(1u, api_ports.size());
  EXPECT_EQ(5000, api_ports[0]["published"]);
  EXPECT_EQ(5000, api_ports[0]["target"]);
  EXPECT_EQ(json::array({"/var/run/docker.sock:/var/run/docker.sock:rw", "streaming-vol:/kafka:rw"}),
            config["services"]["streaming"]["volumes"]);

  ASSERT_EQ(4u, config["networks"].size());
  for (std::string n : {"es-net", "streaming-net", "worker-net", "cache-net"})
    EXPECT_EQ("lumadex-" + n, config["networks"][n]["name"]) << n;
  ASSERT_EQ(8u, config["volumes"].size());
  for (const auto& [short_name, volume] : config["volumes"].items())
    EXPECT_EQ("lumadex-" + short_name, volume["name"]) << short_name;
}

// The stack file says what `install --swarm` sends: both come from one
// ServiceSpec per catalogue entry (swarm_service_spec).
TEST(ComposeByDockerCompose, TheStackFileIsWhatInstallSwarmSends) {
  REQUIRE_DOCKER_COMPOSE();
  TempDir dir;
  const std::filesystem::path file = dir.path() / "stack.yml";
  const ServiceList& catalogue = LumadexInstaller::lumadex_services;
  installer::ExportOptions swarm = options(2);
  swarm.swarm = true;
  write_file(file, installer::compose_file("lumadex", catalogue, swarm));
  const json config = compose_config(file);
  ASSERT_TRUE(config.is_object());
  const installer::Layout layout("lumadex", catalogue, 2);
  // A member of the printed configuration, or null when it is absent.
  auto member = [](const json& object, const char* key) {
    return object.contains(key) ? object[key] : json();
  };
  auto engine_name = [&](const char* kind, const std::string& short_name) {
    const json& objects = config[kind];
    return objects.contains(short_name) ? objects[short_name]["name"].get<std::string>() : short_name;
  };
  for (const ServiceDescription& s : catalogue) {
    SCOPED_TRACE(s.name);
    const docker::ServiceSpec sent =
        installer::swarm_service_spec(layout, s, installer::SwarmOptions{});
    const json& got = config["services"][s.name];
    EXPECT_EQ(sent.image, got["image"]);
    EXPECT_EQ(sent.args ? json(*sent.args) : json(), member(got, "command"));
    std::vector<std::string> env;
    const json environment = member(got, "environment");
    if (environment.is_object())
      for (const auto& [name, value] : environment.items())
        env.push_back(name + "=" + undouble(value.get<std::string>()));
    std::vector<std::string> sent_env = sent.env;
    std::sort(sent_env.begin(), sent_env.end());
    EXPECT_EQ(sent_env, env);
    const json& deploy = got["deploy"];
    EXPECT_EQ(sent.restart_condition, deploy["restart_policy"]["condition"]);
    EXPECT_EQ(sent.update_order, deploy["update_config"]["order"]);
    EXPECT_EQ(sent.endpoint_mode, deploy["endpoint_mode"]);
    const json constraints = member(member(deploy, "placement"), "constraints");
    EXPECT_EQ(json(sent.constraints), constraints.is_null() ? json::array() : constraints);
    if (sent.nano_cpus > 0) {
      const json& cpus = deploy["resources"]["limits"]["cpus"];
      EXPECT_EQ(sent.nano_cpus / 1'000'000'000,
                cpus.is_string() ? std::stod(cpus.get<std::string>()) : cpus.get<double>());
    }
    std::vector<std::string> ports, sent_ports;
    const json got_ports = member(got, "ports");
    if (got_ports.is_array())
      for (const json& p : got_ports)
        ports.push_back(p["target"].dump() + ">" + p["published"].dump() + "/" +
                        p["protocol"].get<std::string>() + " " + p["mode"].get<std::string>());
    for (const docker::ServicePort& p : sent.ports)
      sent_ports.push_back(std::to_string(p.target) + ">" + std::to_string(p.published) + "/" +
                           p.protocol + " " + p.mode);
    EXPECT_EQ(sent_ports, ports);
    std::vector<std::string> mounts, sent_mounts;
    const json volumes = member(got, "volumes");
    for (const json& v : volumes.is_array() ? volumes : json::array()) {
      const std::string entry = v.get<std::string>();
      const std::string source = entry.substr(0, entry.find(':'));
      mounts.push_back(engine_name("volumes", source) + entry.substr(source.size()));
    }
    for (const docker::ServiceMount& m : sent.mounts)
      sent_mounts.push_back(m.source + ":" + m.target + (m.read_only ? ":ro" : ":rw"));
    EXPECT_EQ(sent_mounts, mounts);
    std::set<std::string> networks, sent_networks;
    const json joined = member(got, "networks");
    if (joined.is_object())
      for (const auto& [short_name, join] : joined.items())
        networks.insert(engine_name("networks", short_name));
    for (const docker::ServiceNetwork& n : sent.networks) sent_networks.insert(n.target);
    EXPECT_EQ(sent_networks, networks);
  }
}

// Values chosen to break a careless writer: YAML syntax, quotes, escapes,
// variables Compose would substitute, line breaks, non-ASCII.
TEST(ComposeByDockerCompose, AwkwardValuesSurvive) {
  REQUIRE_DOCKER_COMPOSE();
  const installer::KeyValues awkward = {
      {"COLON", "key: value # not a comment"},
      {"QUOTES", "she said \"no\" and 'yes'"},
      {"BACKSLASH", "C:\\path\\to\\n"},
      {"DOLLAR", "$HOME ${PATH} $$ $"},
      {"LINES", "first\nsecond\tthird"},
      {"FLOW", "[a, b] {c: d} & * ! | > % @ `"},
      {"LOOKS_TYPED", "yes"},
      {"NUMBER", "007"},
      {"EMPTY", ""},
      {"UNICODE", "İstanbul 東京 \xE2\x80\xA8 sep"},
      {"dotted.name", "-leading dash"}};
  ServiceDescription s;
  s.name = "odd";
  s.image = "kestro/probe";
  s.command = "sh -c 'echo \"$HOME: a # b\"' \"two words\" back\\ slash";
  s.environment = awkward;
  s.networks = std::vector<std::string>{"net"};
  TempDir dir;
  const std::filesystem::path file = dir.path() / "odd.yml";
  write_file(file, installer::compose_file("app", {s}, options(1)));

  json config = compose_config(file);
  ASSERT_TRUE(config.is_object());
  const json& got = config["services"]["odd"];
  for (const auto& [name, value] : awkward) {
    ASSERT_TRUE(got["environment"][name].is_string()) << name << ": " << got["environment"][name];
    EXPECT_EQ(value, undouble(got["environment"][name].get<std::string>())) << name;
  }
  std::vector<std::string> argv;
  for (const json& word : got["command"]) argv.push_back(undouble(word.get<std::string>()));
  EXPECT_EQ((std::vector<std::string>{"sh", "-c", "echo \"$HOME: a # b\"", "two words", "back slash"}),
            argv);
  EXPECT_EQ("app-odd", got["container_name"]);
}

// --- The program ------------------------------------------------------------------------

TEST(ExportProgram, OutputFileAndOptions) {
  const std::string bootstrap = program_dir() + "/bootstrap";
  const std::vector<std::string> no_engine{"DOCKER_HOST=unix:///tmp/kestro-ops-nowhere.sock"};
  TempDir dir;
  const std::string file = (dir.path() / "lumadex.yml").string();
  {
    RunResult r = run_program({bootstrap, "export", "--cpus", "3", "-o", file}, no_engine);
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("wrote a Compose file of 13 services to " + file + "\n", r.out);
    const std::string text = read_file(file);
    EXPECT_TRUE(contains(text, "# CPU sets resolved for 3 CPUs (--cpus).")) << text;
    EXPECT_TRUE(contains(text, "cpuset: \"0-2\"")) << text;
  }
  {
    RunResult r = run_program({bootstrap, "export", "-o", file}, no_engine);
    EXPECT_EQ(1, r.status);
    EXPECT_TRUE(starts_with(r.err, "error: export: write " + file)) << r.err;
    EXPECT_EQ(1u, lines_of(r.err).size()) << r.err;
  }
  {
    RunResult r =
        run_program({bootstrap, "export", "--force", "-o", file, "--version", "2.3"}, no_engine);
    EXPECT_EQ(0, r.status) << r.err;
    const std::string text = read_file(file);
    EXPECT_TRUE(contains(text, "image: \"lmdx2/app:2.3\"")) << text;
    EXPECT_TRUE(contains(text, "this host's count: the engine did not answer")) << text;
  }
  {
    RunResult r = run_program({bootstrap, "export", "--cpus", "8"}, no_engine);
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_TRUE(contains(r.out, "cpuset: \"4-7\"")) << r.out;
  }
  for (const std::vector<std::string>& bad :
       {std::vector<std::string>{"--version", "bad tag"}, {"--cpus", "0"}, {"--cpus", "many"}}) {
    std::vector<std::string> argv{bootstrap, "export"};
    argv.insert(argv.end(), bad.begin(), bad.end());
    RunResult r = run_program(argv, no_engine);
    EXPECT_EQ(2, r.status) << ::testing::PrintToString(bad) << r.err;
    EXPECT_EQ("", r.out);
  }
}

}  // namespace
}  // namespace bootstrap::testing
