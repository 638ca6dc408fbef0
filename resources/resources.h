// Thread resources: private mutexes handed to the host by handle. Stateless:
// the host owns each handle, and each function is one platform call.
#ifndef QUENTHALOY_RESOURCES_RESOURCES_H
#define QUENTHALOY_RESOURCES_RESOURCES_H

#include <stdint.h>

namespace resources {

int32_t AddThreadResource();
int32_t OpenThreadResource(int32_t resource);
int32_t OpenThreadResourceWithin(int32_t resource, int32_t milliseconds);
int32_t CloseThreadResource(int32_t resource);
int32_t DeleteThreadResource(int32_t resource);

}  // namespace resources

#endif
