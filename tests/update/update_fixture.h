// Installs and packages for the updater's tests: a tree as our package lays it
// out, whose program is a shell script that prints its version, and the
// tarball a release of it would be; a prompter that records what it was asked.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "app/update/update_prompter.h"

namespace choralink::test {

// <root>/current -> versions/<version>, with the marker and bin/choralink.
void makeInstall(const std::filesystem::path& root, const std::string& version);
// The same layout for `version`, packed as a release tarball in `scratch`;
// returns its bytes.
std::string makePackage(const std::filesystem::path& scratch, const std::string& version);

// What <root>/current/bin/choralink prints: the version that starts.
std::string startedVersion(const std::filesystem::path& root);
// Every path under `root`, relative, symlinks shown with their target.
std::vector<std::string> tree(const std::filesystem::path& root);

struct RecordingPrompter : UpdatePrompter {
  void showUpdateFound(const UpdateOffer& offer, Answer answer) override {
    found.push_back(offer.version);
    lastAnswer = std::move(answer);
  }
  void notifyUpdateFound(const UpdateOffer& offer, Answer answer) override {
    notified.push_back(offer.version);
    lastAnswer = std::move(answer);
  }
  void showUpToDate(std::string_view) override { ++upToDate; }
  void showCheckFailed(std::string_view message) override { failures.emplace_back(message); }
  void showUnavailable(std::string_view message, std::string_view informative) override {
    unavailable.push_back(std::string(message) + " | " + std::string(informative));
  }

  std::vector<std::string> found, notified, failures, unavailable;
  int upToDate = 0;
  Answer lastAnswer;
};

}  // namespace choralink::test
