#include "raw_input_owner.h"

#include "failures.h"

namespace keywatch {

enum : uint16_t {
    usagePageGeneric = 1,
    usageMouse       = 2,
    usageKeyboard    = 6,
};

// Guards every inspection and change of the process's raw input registrations.
static ExclusiveLock ownershipLock = QUILLET_EXCLUSIVE_LOCK_INIT;

static bool isOurUsage(const RawInputRegistration & record) {
    return record.usagePage == usagePageGeneric && (record.usage == usageKeyboard || record.usage == usageMouse);
}

const char * rawInputOwnership(OwnershipStep step, WindowHandle window) {
    const uint32_t       wanted = rawFlagInputSink | rawFlagDevNotify;
    RawInputRegistration records[rawRegistrationMax];
    const char *         problem = nullptr;
    int                  ours    = 0;
    ScopedLock           held(&ownershipLock);
    const int32_t        count = rawInputRegistrationsRead(records, rawRegistrationMax);
    if (count < 0) {
        problem = failure::rawOwnerInspection;
    }
    // Every entry is visited: a release tries each removal even after one fails.
    for (int32_t i = 0; i < count; i++) {
        if (!isOurUsage(records[i])) {
            continue;
        }
        ours++;
        if (step == ownershipClaim) {
            problem = failure::rawInputAlreadyOwned;
        } else if (step == ownershipCheck) {
            if (records[i].target != window || (records[i].flags & wanted) != wanted) {
                problem = failure::rawInputOwnershipLost;
            }
        } else if (records[i].target == window) {
            const RawInputRegistration removal = {records[i].usagePage, records[i].usage, rawFlagRemove, nullptr};
            if (!rawInputRegister(&removal, 1)) {
                problem = failure::rawUnregistration;
            }
        }
    }
    if (problem == nullptr && step == ownershipCheck && ours != 2) {
        problem = failure::rawInputOwnershipLost;
    }
    if (problem == nullptr && step == ownershipClaim) {
        const RawInputRegistration claim[2] = {
            {usagePageGeneric, usageKeyboard, wanted, window},
            {usagePageGeneric, usageMouse, wanted, window},
        };
        if (!rawInputRegister(claim, 2)) {
            problem = failure::rawRegistration;
        }
    }
    return problem;
}

} // namespace keywatch
