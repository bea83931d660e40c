#include "platform/appcompat.h"

// No compatibility layer outside Windows; start-up never asks for one here.
bool setAppCompatLayer(const char *, const char *)
{
    return false;
}
