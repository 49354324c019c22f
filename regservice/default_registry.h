// The one decision of a run on this platform: whom it acts as, on which
// Wine prefix, and through which registry, made once at its start; and the
// registry made from it, which the Reg* functions then use.
#ifndef QUILLFIX_REGSERVICE_DEFAULT_REGISTRY_H_
#define QUILLFIX_REGSERVICE_DEFAULT_REGISTRY_H_

#include <sys/types.h>

#include <memory>
#include <string>

#include "regservice/bridge/server_socket.h"
#include "regservice/prefix/env.h"
#include "regservice/prefix/prefix_owner.h"
#include "regservice/prefix/running_server.h"
#include "regservice/registry.h"

namespace regservice {

// What a run acts on.
struct RegistryPlan {
  enum Kind {
    kFile,         // no server serves the prefix: user.reg, read and written
    kRunningWine,  // a server does: through a helper under its Wine
    kRefused,      // nothing is to be read or written; `reason` says why
  };
  Kind kind = kRefused;
  prefix::RunIdentity run;          // whom it acts as
  prefix::PrefixLocation location;  // the prefix as acted on; the owner's
                                    // TMPDIR after a change of user
  pid_t server = 0;                 // kRunningWine: the server
  // kRunningWine: the run's checked connection to the server, for the
  // helper's Wine.
  std::shared_ptr<bridge::ServerSocket> connection;
  // kRunningWine: the server runs in namespaces of its own (a sandbox),
  // where the helper is started (regservice/bridge/sandbox_entry.h).
  bool sandboxed = false;
  std::string reason;               // kRefused: one line
  // kFile: the decision looked in /proc and found no server just now.
  bool found_free = false;
  // kFile: the prefix is another user's, which this run may read but not
  // write: no server is looked for, nothing is made for that user, and
  // every change fails with this reason.
  std::string read_only;
};

// Decides, for a run that already is who `run` says: under the prefix
// directory's lock, whether a server serves the prefix, and when one does,
// connects to that very server (bridge/server_socket.h). A server that
// does not answer is waited for (bounded) until it has ended, and the
// prefix looked at again. A prefix that is missing or holds no user.reg
// is kFile: the file registry says why.
RegistryPlan PlanRegistry(prefix::Env* env, const prefix::RunIdentity& run,
                          prefix::PrefixLocation location);

// The registry a plan names; for kRefused, one that reads and writes
// nothing. The caller owns the result; `env` must outlive it.
Registry* NewPlannedRegistry(prefix::Env* env, const RegistryPlan& plan);

// The whole start of a run that has no supervisor to set up in between:
// settles whom it acts as (prefix::AdoptPrefixOwner), then plans. For
// tests and tools.
RegistryPlan PlanPrefixRun(prefix::Env* env, prefix::Identity* identity,
                           prefix::PrefixLocation location);

// The same, and the registry of the plan, which the caller owns.
Registry* NewPrefixRegistry(prefix::Env* env, prefix::Identity* identity,
                            prefix::PrefixLocation location,
                            RegistryPlan* plan);

// Makes the registry of `plan` the default one (Registry::Default()) for
// the rest of the process: flushed, or its helper ended, at normal exit.
// Once only, before any Reg* call.
void InstallDefaultRegistry(const RegistryPlan& plan);

// The plan of the default registry. Before InstallDefaultRegistry, the
// first call plans from the environment, as AdoptPrefixOwner and
// PlanRegistry would (for tools and tests that start no run of their own).
const RegistryPlan& DefaultRegistryPlan();

}  // namespace regservice

#endif  // QUILLFIX_REGSERVICE_DEFAULT_REGISTRY_H_
