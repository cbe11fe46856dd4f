// Widget tests need a QApplication; listing the tests (at build time) does
// not, so none is created then and no display is needed for discovery.
#include <gtest/gtest.h>

#include <QApplication>

#include <memory>

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // the widgets need no display
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  std::unique_ptr<QApplication> app;
  if (!::testing::GTEST_FLAG(list_tests)) app = std::make_unique<QApplication>(argc, argv);
  return RUN_ALL_TESTS();
}
