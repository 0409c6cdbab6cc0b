// Dense matrices of doubles, row-major, for the localization estimators.
// Record and data are separate heap blocks that the caller frees with
// matrix_free.
#include <cstdint>
#include <cstdlib>
#include <limits>

#include "crx.h"
#include "log.h"

using crx::log_line;

extern "C" {

matrix *matrix_new(int rows, int cols) {
  if (rows < 1 || cols < 1) {
    log_line("Invalid matrix size, row: %d, col: %d", rows, cols);
    return nullptr;
  }
  auto *m = static_cast<matrix *>(std::malloc(sizeof(matrix)));
  if (!m) {
    log_line("%s: out of memory.", "matrix_new");
    return nullptr;
  }
  // calloc refuses a count whose byte size overflows, so a huge shape
  // fails here instead of wrapping to a small block.
  m->data = static_cast<double *>(std::calloc(static_cast<size_t>(rows) * static_cast<size_t>(cols), sizeof(double)));
  if (!m->data) {
    log_line("%s: unable to allocate mem.", "matrix_new");
    std::free(m);
    return nullptr;
  }
  m->rows = rows;
  m->cols = cols;
  return m;
}

int matrix_free(matrix *m) {
  if (m) {
    std::free(m->data);
    std::free(m);
  }
  return 0;
}

matrix *matrix_transpose(const matrix *m) {
  if (!m || !m->data) {
    log_line("%s: null pointer", __func__);
    return nullptr;
  }
  matrix *t = matrix_new(m->cols, m->rows);
  if (!t) {
    log_line("%s: failed to allocate memory for matrix", __func__);
    return nullptr;
  }
  for (int r = 0; r < m->rows; ++r)
    for (int c = 0; c < m->cols; ++c) t->data[c * m->rows + r] = m->data[r * m->cols + c];
  return t;
}

matrix *matrix_multiply(const matrix *a, const matrix *b) {
  if (!a || !b || !a->data || !b->data) {
    log_line("%s: input NULL pointer(s)", __func__);
    return nullptr;
  }
  if (a->cols != b->rows) {
    log_line("%s: invalid dimension: a->col: %d, b->row: %d, a->col must be eeual to b->row", __func__, a->cols,
             b->rows);
    return nullptr;
  }
  matrix *p = matrix_new(a->rows, b->cols);
  if (!p) {
    log_line("%s failed to allocate matrix", __func__);
    return nullptr;
  }
  for (int r = 0; r < a->rows; ++r)
    for (int c = 0; c < b->cols; ++c) {
      double sum = 0.0;
      for (int k = 0; k < a->cols; ++k) sum += a->data[r * a->cols + k] * b->data[k * b->cols + c];
      p->data[r * b->cols + c] = sum;
    }
  return p;
}

int matrix_scale(matrix *m, double factor) {
  if (!m || !m->data) return -1;
  const size_t n = static_cast<size_t>(m->rows) * static_cast<size_t>(m->cols);
  for (size_t i = 0; i < n; ++i) m->data[i] *= factor;
  return 0;
}

}  // extern "C"
