#pragma once
// Which installations take an offered release: the staged rollout a
// publisher sets in the release's version description. Pure functions.
//
// Every installation draws a group once (0 .. kRolloutGroups - 1, kept by
// fileops/rolloutgroup.h and never sent anywhere); a release offered to
// percent of the installations is taken by the groups below percent, so
// raising the share keeps every installation that already took it, and 0
// halts the release for all.
//
// A release may also name the lowest installed version it applies to and a
// stepping stone: the folder of an earlier release that older installations
// take first, reaching the newest at their next check.

#include <QString>

#include <optional>

namespace ReleaseControl {

constexpr int kRolloutGroups = 100;
// The share of a release without a staged rollout.
constexpr int kWholeRollout = 100;

// The share a Rollout value names: a whole number 0..100 without sign or
// blanks; "" (no rollout set) is kWholeRollout. Nothing for any other text.
std::optional<int> parseRollout(const QString &text);

// True when an installation of group takes a release offered to percent of
// the installations.
bool takesRelease(int group, int percent);

// True when a release whose description names minimumVersion (its
// MinRequiredVersion; "" for none) can be applied to an installation at
// installedVersion ("" when it records none, as before its first update).
bool appliesTo(const QString &installedVersion, const QString &minimumVersion);

} // namespace ReleaseControl
