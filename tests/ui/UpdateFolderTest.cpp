#include "ui/UpdateFolder.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

namespace relaybox {
namespace {

TEST(UpdateFolderTest, IsUnderTheDocumentsFolderOfTheHomeDirectory) {
  QTemporaryDir home;
  ASSERT_TRUE(home.isValid());
  const QByteArray savedHome = qgetenv("HOME");
  const QByteArray savedConfig = qgetenv("XDG_CONFIG_HOME");
  qputenv("HOME", home.path().toUtf8());
  qputenv("XDG_CONFIG_HOME", (home.path() + "/.config").toUtf8());

  EXPECT_EQ(UpdateFolder(), home.path().toStdString() + "/Documents/Quintel/Hoofline/Relaybox/");

  qputenv("HOME", savedHome);
  if (savedConfig.isEmpty()) qunsetenv("XDG_CONFIG_HOME");
  else qputenv("XDG_CONFIG_HOME", savedConfig);
}

} // namespace
} // namespace relaybox
