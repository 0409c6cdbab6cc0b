// The matrix routines the estimators are built on, with their refusals.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <vector>

#include "crx.h"
#include "sim/testing.h"

namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

class Matrix : public crx::sim::SandboxTest {
 protected:
  matrix* filled(int rows, int cols, std::vector<double> values) {
    matrix* m = matrix_new(rows, cols);
    EXPECT_NE(m, nullptr);
    for (size_t i = 0; i < values.size(); ++i) m->data[i] = values[i];
    return m;
  }
  std::vector<double> elements(const matrix* m) { return {m->data, m->data + m->rows * m->cols}; }
  bool logged(const std::string& text) {
    for (const auto& t : sandbox().syslog_texts())
      if (t == text) return true;
    return false;
  }
};

TEST_F(Matrix, NewIsZeroedAndRefusesEmptyShapes) {
  matrix* m = matrix_new(2, 3);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->rows, 2);
  EXPECT_EQ(m->cols, 3);
  EXPECT_THAT(elements(m), ElementsAre(0, 0, 0, 0, 0, 0));
  EXPECT_EQ(matrix_free(m), 0);
  EXPECT_EQ(matrix_free(nullptr), 0);

  EXPECT_EQ(matrix_new(0, 3), nullptr);
  EXPECT_TRUE(logged("Invalid matrix size, row: 0, col: 3")) << syslog_dump();
  EXPECT_EQ(matrix_new(4, -1), nullptr);
  EXPECT_TRUE(logged("Invalid matrix size, row: 4, col: -1"));
}

TEST_F(Matrix, HugeShapeFailsAsAnAllocation) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer aborts on impossible allocations";
#endif
  EXPECT_EQ(matrix_new(1 << 30, 1 << 30), nullptr);
  EXPECT_TRUE(logged("matrix_new: unable to allocate mem.")) << syslog_dump();
}

TEST_F(Matrix, TransposeMovesRowsToColumns) {
  matrix* m = filled(2, 3, {1, 2, 3, 4, 5, 6});
  matrix* t = matrix_transpose(m);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->rows, 3);
  EXPECT_EQ(t->cols, 2);
  EXPECT_THAT(elements(t), ElementsAre(1, 4, 2, 5, 3, 6));
  matrix_free(t);
  matrix_free(m);
  EXPECT_EQ(matrix_transpose(nullptr), nullptr);
  EXPECT_TRUE(logged("matrix_transpose: null pointer"));
}

TEST_F(Matrix, MultiplyChecksShapes) {
  matrix* a = filled(3, 2, {1, 2, 3, 4, 5, 6});
  matrix* b = filled(2, 4, {1, 0, -1, 2, 0, 1, 3, 0.5});
  matrix* p = matrix_multiply(a, b);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->rows, 3);
  EXPECT_EQ(p->cols, 4);
  EXPECT_THAT(elements(p), ElementsAreArray(std::vector<double>{1, 2, 5, 3, 3, 4, 9, 8, 5, 6, 13, 13}));
  matrix_free(p);

  EXPECT_EQ(matrix_multiply(a, a), nullptr);
  EXPECT_TRUE(logged("matrix_multiply: invalid dimension: a->col: 2, b->row: 3, a->col must be eeual to b->row"))
      << syslog_dump();
  EXPECT_EQ(matrix_multiply(a, nullptr), nullptr);
  EXPECT_EQ(matrix_multiply(nullptr, b), nullptr);
  EXPECT_TRUE(logged("matrix_multiply: input NULL pointer(s)"));
  matrix_free(a);
  matrix_free(b);
}

TEST_F(Matrix, ScaleInPlace) {
  matrix* m = filled(2, 2, {1, -2, 0.5, 4});
  EXPECT_EQ(matrix_scale(m, -2.0), 0);
  EXPECT_THAT(elements(m), ElementsAre(-2, 4, -1, -8));
  matrix_free(m);
  EXPECT_EQ(matrix_scale(nullptr, 2.0), -1);
}

}  // namespace
