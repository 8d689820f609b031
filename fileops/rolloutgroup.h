#pragma once
// The rollout group of one installation (config/releasecontrol.h), kept in
// update/rollout.group as one decimal line: drawn from the system's random
// source the first time a staged release asks for it, read back ever after.
// The file is one of the updater's own places, so no release replaces it,
// and the user's system.cfg never holds it.

#include <QString>

#include <optional>

// The group of the installation (absolute, ends with "/"), drawn and kept
// when there is none yet or the file does not hold one. Nothing when a drawn
// group could not be kept: a group that changed at every run would reach
// every share sooner or later.
std::optional<int> installationRolloutGroup(const QString &installation);
