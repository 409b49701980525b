// Model numbers of the device family and their names.
#pragma once

// The model's name, or "Unknown" for a number without one.
const char* aDefs_GetModelName(unsigned model);
