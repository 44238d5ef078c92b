#include <gtest/gtest.h>

#include "kestrix/keys.hpp"

TEST(JoinKey, PiecesFollowThePrefixBehindSingleUnderscores) {
  EXPECT_EQ(kestrix::join_key("kx_local", {"cam1", "6379"}), "kx_local_cam1_6379");
  EXPECT_EQ(kestrix::join_key("kx_cloud", {"n7"}), "kx_cloud_n7");
}

TEST(JoinKey, EmptyPieceKeepsItsUnderscore) {
  EXPECT_EQ(kestrix::join_key("kx_local", {""}), "kx_local_");
  EXPECT_EQ(kestrix::join_key("", {"a", ""}), "_a_");
}
