// The one QApplication of the GUI test executable, shared by every test file.

#include <gtest/gtest.h>

#include <QApplication>

namespace {

class QtEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        static int argc = 1;
        static char name[] = "test_gui";
        static char* argv[] = {name, nullptr};
        app_ = new QApplication(argc, argv);
    }
    void TearDown() override { delete app_; }

private:
    QApplication* app_ = nullptr;
};

const auto* const kQtEnvironment = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

}  // namespace
