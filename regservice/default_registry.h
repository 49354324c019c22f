// How Registry::Default() picks the registry of the prefix the environment
// names, exposed for the report and for tests.
#ifndef QUILLFIX_REGSERVICE_DEFAULT_REGISTRY_H_
#define QUILLFIX_REGSERVICE_DEFAULT_REGISTRY_H_

#include <string>

#include "regservice/prefix/env.h"
#include "regservice/prefix/prefix_owner.h"
#include "regservice/prefix/running_server.h"
#include "regservice/registry.h"

namespace regservice {

// The registry of the prefix at `location`, for a run that first settles
// whom it acts as (prefix::AdoptPrefixOwner) and only then looks at the
// prefix: the running server's, through the bridge, or user.reg's. A run
// refused (*run says why) gets a registry of no prefix, which reads and
// writes nothing. The caller owns the result.
Registry* NewPrefixRegistry(prefix::Env* env, prefix::Identity* identity,
                            prefix::PrefixLocation location,
                            prefix::RunIdentity* run);

// Why the default registry acts on no prefix although one is named: a run
// by root that may not act for the prefix's owner; or why the running Wine
// found cannot be reached (a sandbox that may not be joined), once a call
// has tried. Empty otherwise.
const std::string& DefaultRegistryRefusal();

}  // namespace regservice

#endif  // QUILLFIX_REGSERVICE_DEFAULT_REGISTRY_H_
