#include "quorvex/error.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <string_view>

using quorvex_core::Error;

TEST(error_test, display_texts) {
  const struct {
    Error error;
    const char* text;
  } cases[] = {
      {Error::io_errno(ENOENT), "I/O error: No such file or directory (os error 2)"},
      {Error::io_invalid_utf8(), "I/O error: stream did not contain valid UTF-8"},
      {Error::nifti("bad header"), "NIfTI error: bad header"},
      {Error::json("EOF while parsing at line 1 column 2"),
       "JSON error: EOF while parsing at line 1 column 2"},
      {Error::parse("sub-01_dwi.bvec", "invalid number: abc"),
       "failed to parse sub-01_dwi.bvec: invalid number: abc"},
      {Error::table_mismatch(64, 65), "gradient table mismatch: 64 directions but 65 b-values"},
      {Error::volume_mismatch(64, 65), "volume mismatch: 64 gradients but 65 DWI volumes"},
      {Error::mask_mismatch(10, 12),
       "mask grid mismatch: mask has 10 voxels but the DWI grid has 12"},
      {Error::dti_fit("no DWI volumes in the working shell"),
       "DTI fit failed: no DWI volumes in the working shell"},
      {Error::no_usable_shell(), "no usable non-b0 shell for flip detection"},
      {Error::amplitude_encoded("x"), "amplitude-encoded bvecs (--strict): x"},
      {Error::refuse_overwrite("out.bvec"),
       "refusing to overwrite existing file: out.bvec (pass --force to allow)"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.error.display(), c.text);
    // Without the kind, a prefixed message is what follows its prefix; any other is unchanged.
    const std::string rest = c.error.without_kind();
    EXPECT_TRUE(rest == c.text || std::string_view(c.text).ends_with(": " + rest)) << c.text;
  }
  EXPECT_EQ(Error::io_errno(ENOSPC).without_kind(), "No space left on device (os error 28)");
  EXPECT_EQ(Error::no_usable_shell().without_kind(), Error::no_usable_shell().display());
}

TEST(error_test, json_from_io_keeps_the_system_text_only) {
  EXPECT_EQ(Error::json_from_io(Error::io_errno(ENOSPC)).display(),
            "JSON error: No space left on device (os error 28)");
}
