// The image as one transaction. One command at a time holds an image's lock; a run's written
// files wait in its own folder MACHINE/.dot4sim-txn.PID.N/. commit() writes a journal of the
// final effect per path and renames it into place (the one commit point), then applies it in
// phases that can be redone; the next command finishes a committed journal or removes an
// uncommitted one, and says which.
#pragma once

#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "model/drives.h"

namespace simwin {

// A commit refused before its commit point: the image is unchanged.
class CommitRefused : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

class Transaction : public Staging {
  public:
    // Locks the image in `imageDir`, finishes or rolls back what a dead command left (saying so
    // on `notes`) and makes the run's folder. Throws ImageError.
    static std::unique_ptr<Transaction> begin(const std::string& imageDir,
                                              std::ostream& notes = std::cerr);
    ~Transaction() override;
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    int createFile(std::string& name) override;
    std::string hostPath(const std::string& name) const override;
    bool open() const override { return !finished_; }
    // Forgets the run's changes and lets the image go (a committed journal is the next
    // command's to finish).
    void discard() override;

    // Writes `text` as the image file `name` ("registry.reg") at the commit.
    void stageImageFile(const std::string& name, const std::string& text);
    // Makes the changes of `drives` and the staged image files permanent, atomically. Throws
    // CommitRefused when a change could not be applied (nothing is changed then),
    // std::runtime_error after the commit point.
    void commit(const FileSystem& drives);
    // For crash tests: commit() as a process killed after `steps` of its steps would leave it
    // (step 1 is the commit point). The next command finishes or rolls back the rest.
    void commitInterrupted(const FileSystem& drives, unsigned steps);

  private:
    Transaction() = default;
    void commitSteps(const FileSystem& drives, unsigned limit);
    void finish();

    std::string imageDir_, txnName_, txn_;
    int lockFd_ = -1;
    unsigned stagedCount_ = 0;
    bool finished_ = false;
    bool committed_ = false;
    std::vector<std::pair<std::string, std::string>> imageFiles_;  // name, staged name
};

// Finishes or rolls back what a dead command left in the image; "" or one line saying which.
// Throws ImageError (the image is in use, or its bookkeeping is not what dot4sim made). For
// crash tests, `stopAfter` stops finishing a commit where a killed process would.
std::string recoverImage(const std::string& imageDir, unsigned stopAfter = ~0u);

class Machine;
// The transaction a loaded image's machine runs in.
Transaction& transactionOf(Machine& m);

}  // namespace simwin
