// The product's services. Data only: the engine derives networks, volumes,
// containers and their order from this list.
#include "bootstrap/installer/lumadex/lumadex_installer.h"

namespace bootstrap::installer::lumadex {

namespace {

constexpr const char* kApplicationImage = "lmdx2/app";
constexpr const char* kTimeZone = "Asia/Istanbul";

const std::vector<std::string> kAppNetworks = {"es-net", "streaming-net", "worker-net", "cache-net"};

ServiceDescription application_role(const std::string& name, const std::string& role,
                                    const std::string& cpuset, const std::string& wname,
                                    const std::string& healthcheck) {
  ServiceDescription s;
  s.name = name;
  s.image = kApplicationImage;
  s.command = "/bin/sh -c \"./start.sh " + role + "\"";
  s.environment = KeyValues{{"TZ", kTimeZone}, {"WNAME", wname}, {"HEALTHCHECK", healthcheck}};
  s.networks = kAppNetworks;
  s.volumes = std::vector<std::string>{"temp-vol:/temp-vol"};
  s.restart = "always";
  s.cpuset = cpuset;
  return s;
}

ServiceDescription search_node(const std::string& name, const std::string& peer) {
  ServiceDescription s;
  s.name = name;
  s.image = "elasticsearch:7.12.1";
  s.environment = KeyValues{{"cluster.name", "es-cluster"},
                            {"bootstrap.memory_lock", "true"},
                            {"http.cors.enabled", "true"},
                            {"http.cors.allow-origin", "*"},
                            {"ES_JAVA_OPTS", "-Xms512m -Xmx512m"},
                            {"node.name", name},
                            {"discovery.seed_hosts", peer},
                            {"cluster.initial_master_nodes", "es1,es2"}};
  s.ulimits = std::vector<Ulimit>{{"memlock", -1, -1}};
  s.networks = std::vector<std::string>{"es-net"};
  s.volumes = std::vector<std::string>{name + "-vol:/usr/share/elasticsearch/data"};
  s.restart = "always";
  s.cpuset = "0-3";
  return s;
}

ServiceDescription store(const std::string& name, const std::string& network) {
  ServiceDescription s;
  s.name = name;
  s.image = "redis:6.0.4";
  s.networks = std::vector<std::string>{network};
  s.volumes = std::vector<std::string>{name + "-vol:/data"};
  s.restart = "always";
  s.cpuset = "0-3";
  return s;
}

ServiceList build_catalogue() {
  const std::string common = "elasticsearch cache queue";
  const std::string with_worker = "elasticsearch cache queue worker";

  ServiceDescription beater = application_role("beater", "beater", "0-3", "Beater", common);
  beater.networks = std::vector<std::string>{"worker-net", "cache-net", "es-net", "streaming-net"};
  beater.volumes.reset();

  ServiceDescription streaming;
  streaming.name = "streaming";
  streaming.image = "wurstmeister/kafka:2.12-2.5.0";
  streaming.command = "start-kafka.sh";
  streaming.environment = KeyValues{
      {"KAFKA_ADVERTISED_LISTENERS", "INSIDE://:9094,OUTSIDE://localhost:9092"},
      {"KAFKA_LISTENERS", "INSIDE://:9094,OUTSIDE://:9092"},
      {"KAFKA_LISTENER_SECURITY_PROTOCOL_MAP", "INSIDE:PLAINTEXT, OUTSIDE:PLAINTEXT"},
      {"KAFKA_INTER_BROKER_LISTENER_NAME", "INSIDE"},
      {"KAFKA_ZOOKEEPER_CONNECT", "coordinator:2181"},
      {"KAFKA_BROKER_ID", "1"},
      {"KAFKA_LOG_RETENTION_MS", "10000"},
      {"ALLOW_PLAINTEXT_LISTENER", "yes"}};
  streaming.networks = std::vector<std::string>{"streaming-net"};
  streaming.volumes =
      std::vector<std::string>{"/var/run/docker.sock:/var/run/docker.sock", "streaming-vol:/kafka"};
  streaming.restart = "always";
  streaming.cpuset = "0-3";

  ServiceDescription coordinator;
  coordinator.name = "coordinator";
  coordinator.image = "wurstmeister/zookeeper:3.4.6";
  coordinator.environment = KeyValues{{"KAFKA_BROKER_ID", "1"}};
  coordinator.networks = std::vector<std::string>{"streaming-net"};
  coordinator.volumes = std::vector<std::string>{"coordinator-conf-vol:/opt/zookeeper-3.4.6/conf",
                                                 "coordinator-data-vol:/opt/zookeeper-3.4.6/data"};
  coordinator.restart = "always";
  coordinator.cpuset = "0-3";

  ServiceDescription api = application_role("api", "api", "0-3", "Api", "elasticsearch cache");
  api.ports = KeyValues{{"5000", "5000"}};

  return {
      beater,
      application_role("worker-shortops", "shortops", "0-3", "Shortops", common),
      application_role("worker-task", "task", "4-x", "Task", common),
      application_role("worker-trigger", "trigger", "0-3", "Trigger", common),
      application_role("worker", "worker", "4-x", "worker", with_worker),
      application_role("worker-ocr", "workerocr", "4-x", "ocr", with_worker),
      streaming,
      coordinator,
      search_node("es1", "es2"),
      search_node("es2", "es1"),
      store("queue", "worker-net"),
      store("cache", "cache-net"),
      api,
  };
}

}  // namespace

const std::string LumadexInstaller::main_service = kApplicationImage;
const std::string LumadexInstaller::time_zone = kTimeZone;
const ServiceList LumadexInstaller::lumadex_services = build_catalogue();
const std::string LumadexInstaller::application_name = "lumadex";
const std::vector<std::string> LumadexInstaller::removed_volumes = {
    "lumadex-temp-vol", "lumadex-queue-vol", "lumadex-coordinator-conf-vol",
    "lumadex-coordinator-data-vol", "lumadex-streaming-vol"};

}  // namespace bootstrap::installer::lumadex
