#include "bootstrap/installer/kestro_installer.h"

#include <vector>

#include "bootstrap/docker/docker_client.h"
#include "bootstrap/docker/errors.h"

namespace bootstrap::installer {

KestroInstaller::KestroInstaller(std::string application_name_in, const ServiceList& services_in)
    : KestroInstaller(std::move(application_name_in), services_in,
                      std::shared_ptr<docker::Client>(docker::DockerClient::from_environment()),
                      host::real_host()) {}

KestroInstaller::KestroInstaller(std::string application_name_in, const ServiceList& services_in,
                                 std::shared_ptr<docker::Client> client_in, host::Host& host)
    : application_name(std::move(application_name_in)),
      services(services_in),
      client(std::move(client_in)),
      host_(host),
      // The count may cost an engine request, so the layout asks only when a
      // CPU set needs it.
      layout_(application_name, services, [this] { return engine_cpu_count(); }) {
  take_snapshot();
}

void KestroInstaller::take_snapshot() {
  // put() keeps the position of the first entry of a name and the value of
  // the last, so a name the engine lists twice maps to the later object.
  for (docker::NetworkRef& n : client->list_networks()) networks.put(n.name, n);
  for (docker::VolumeRef& v : client->list_volumes()) volumes.put(v.name, v);
  for (docker::ContainerRef& c : client->list_containers(true)) containers.put(c.name, c);
}

unsigned KestroInstaller::engine_cpu_count() {
  if (!engine_cpus_) {
    // The containers run on the engine's host, which need not be ours
    // (DOCKER_HOST may name another machine), so its count comes first.
    try {
      docker::EngineInfo info = client->info();
      if (info.ncpu > 0) engine_cpus_ = static_cast<unsigned>(info.ncpu);
    } catch (const docker::EngineError&) {
    }
    if (!engine_cpus_) engine_cpus_ = host_.system.cpu_count();
  }
  return *engine_cpus_;
}

}  // namespace bootstrap::installer
