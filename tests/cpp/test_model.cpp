#include <gtest/gtest.h>

#include "open_fds.hpp"

#include <string>
#include <string_view>


#include "ara2/model.hpp"

using tallowind::ara2::Direction;
using tallowind::tensor::TensorMemory;

namespace {

struct NameCase {
  std::string_view path;
  std::string_view name;
};

class ModelNameForPath : public testing::TestWithParam<NameCase> {};

TEST_P(ModelNameForPath, IsTheLastComponentsStem) {
  EXPECT_EQ(tallowind::ara2::model_name_for_path(GetParam().path), GetParam().name);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, ModelNameForPath,
    testing::Values(NameCase{"models/yolo.dvm", "yolo"}, NameCase{"dir/net.best.dvm", "net.best"},
                    NameCase{"a.b.dvm", "a.b"}, NameCase{".hidden", ".hidden"}, NameCase{"dir/.hidden", ".hidden"},
                    NameCase{"..hidden", "."}, NameCase{"net.", "net"}, NameCase{"net", "net"},
                    NameCase{"/abs/net.dvm", "net"}, NameCase{"dir/net.dvm/", "net"},
                    NameCase{"dir/net.dvm/.", "net"}, NameCase{"dir//net.dvm", "net"}, NameCase{"./net.dvm", "net"},
                    NameCase{"/", "model"}, NameCase{"", "model"}, NameCase{".", "model"},
                    NameCase{"dir/..", "model"}, NameCase{"..", "model"}, NameCase{"../net.dvm", "net"},
                    NameCase{"d\xff/n\xfft.dvm", "n\xef\xbf\xbdt"}));

TEST(ModelNameForPath, KeepsAnInteriorNulForTheCallerToRefuse) {
  const std::string path("dir/ne\0t.dvm", 12);
  EXPECT_EQ(tallowind::ara2::model_name_for_path(path), std::string("ne\0t", 4));
}

TEST(IndexErrorText, NamesTheDirectionIndexAndCount) {
  EXPECT_EQ(tallowind::ara2::index_error_text(Direction::Input, 1, 1), "input index 1 out of range (model has 1 inputs)");
  EXPECT_EQ(tallowind::ara2::index_error_text(Direction::Output, 18446744073709551615ull, 3),
            "output index 18446744073709551615 out of range (model has 3 outputs)");
}

TEST(MemoryKindName, UsesThePythonFacingNames) {
  EXPECT_EQ(tallowind::ara2::memory_kind_name(TensorMemory::DmaBuf), "dma");
  EXPECT_EQ(tallowind::ara2::memory_kind_name(TensorMemory::Shm), "shm");
  EXPECT_EQ(tallowind::ara2::memory_kind_name(TensorMemory::Mem), "mem");
}

TEST(ReleaseSlots, EmptiesTheListAndClosesEveryDescriptor) {
  const int before = open_fd_count();
  std::vector<tallowind::ara2::TensorSlot> slots;
  for (int i = 0; i < 3; ++i) {
    auto tensor = tallowind::tensor::Tensor::create({16}, TensorMemory::Shm);
    ASSERT_TRUE(tensor.has_value());
    slots.push_back(tallowind::ara2::TensorSlot{std::move(*tensor), nullptr});
  }
  ASSERT_EQ(open_fd_count(), before + 3);
  tallowind::ara2::release_slots(slots);
  EXPECT_TRUE(slots.empty());
  EXPECT_EQ(open_fd_count(), before);
}

}  // namespace
