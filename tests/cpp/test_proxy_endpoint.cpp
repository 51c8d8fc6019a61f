#include <gtest/gtest.h>

#include "ara2/proxy_endpoint.hpp"

TEST(Ipv4Parsing, AcceptsOnlyStrictDottedQuads) {
  using namespace std::string_view_literals;
  const std::pair<std::string_view, bool> cases[] = {
      {"127.0.0.1", true},   {"0.0.0.0", true},      {"255.255.255.255", true}, {"010.0.0.1", false},
      {"1.2.3.4 ", false},   {" 1.2.3.4", false},    {"localhost", false},      {"1.2.3", false},
      {"1.2.3.4.5", false},  {"256.0.0.1", false},   {"1..2.3", false},         {"", false},
      {"1.2.3.1000", false}, {"+1.2.3.4", false},    {"1.2.3.04", false},       {"1.2.3.4.", false},
      {"1.2.3.-4", false},   {"0x1.2.3.4", false},   {"1.2.3.4/8", false},      {"001.002.003.004", false},
      {"1.2.3.4\0"sv, false}, {"1.2.3.4\0junk"sv, false}, {"255.255.255.2555", false},
  };
  for (auto [text, ok] : cases) EXPECT_EQ(tallowind::ara2::parse_ipv4(text).has_value(), ok) << text;
  EXPECT_EQ(tallowind::ara2::to_string(*tallowind::ara2::parse_ipv4("10.20.30.40")), "10.20.30.40");
}
