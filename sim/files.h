// simwin's drives: C: is the image's drive_c/, confined to the image.
#pragma once

#include <memory>
#include <string>

#include "machine.h"

namespace simwin {

class FileSystem {
public:
    // Prepares the drives of the image in `imageDir` for a run. Throws ImageError.
    static std::unique_ptr<FileSystem> attach(const std::string& imageDir);
    ~FileSystem();

    // Makes the run's changes to the drives permanent, atomically.
    void commit();
    // Forgets the run's changes.
    void discard();
};

}  // namespace simwin
