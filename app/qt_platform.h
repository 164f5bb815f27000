#pragma once

#include <QLockFile>
#include <memory>

#include "app/platform.h"

namespace rastel {

class QtPlatform : public Platform {
public:
    bool AcquireSingleInstance() override;
    std::string ProgramFolder() override;
    void ShowMessage(const std::string& text, const std::string& title) override;
    void ProcessEvents() override;
    void EndProcess(int status) override;

private:
    std::unique_ptr<QLockFile> lock_;
};

}  // namespace rastel
