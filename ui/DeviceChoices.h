#pragma once
// A choice box of a service's devices: a first entry of its own (the system default, "All"),
// then the devices by the names people know, their ids as tool tips. A stored choice that is
// not there now stays in the list, marked, so that OK keeps it.

#include "platform/wave/Wave.h"

#include <QString>

#include <string>
#include <vector>

class QComboBox;

// UI thread only.
void FillChoices(QComboBox* box, const QString& firstText, const QString& firstId,
                 const std::vector<wave::DeviceChoice>& choices, const std::string& chosen);
