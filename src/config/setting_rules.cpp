// The limits of the settings' values: plain decisions on text in the ANSI
// code page, shared by the service, the check tool and the package's check.
#include "config/settings.h"

#include "config/text_join.h"

// The description's room is larger than anything the profile read yields:
// it is cut to 255 characters there, never refused.
const SettingRule kSettingRules[kSettingCount] = {
    {kSectionProduct, kKeyModel, kDefaultModel, kModelCapacity},
    {kSectionProduct, kKeyDisplayName, kDefaultDisplayName, kDisplayNameCapacity},
    {kSectionProduct, kKeyDescription, kDefaultDescription, kSettingValueCapacity},
    {kSectionSettings, kKeyBluetoothPattern, kDefaultPattern, kPatternCapacity},
    {kSectionSettings, kKeyWifiPattern, kDefaultPattern, kPatternCapacity},
};

static_assert(kModelCapacity <= kSettingValueCapacity &&
                  kDisplayNameCapacity <= kSettingValueCapacity &&
                  kPatternCapacity <= kSettingValueCapacity,
              "every value the service reads fits a value's slot");
static_assert(kDescriptionCapacity >= kSettingValueCapacity, "the description is never refused");

int FormServiceName(char* name, const char* model) {
    // Too long, it is left empty: a cut name could be another model's service.
    return JoinText(name, kServiceNameCapacity, kServiceNamePrefix, model);
}

int SettingFits(int setting, const char* value) {
    char room[kSettingValueCapacity];
    return setting >= 0 && setting < kSettingCount &&
           JoinText(room, kSettingRules[setting].capacity, value);
}
