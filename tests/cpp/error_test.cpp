#include "quorvex/error.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

using quorvex_core::Error;

// Each kind's full text is asserted where that error arises; here, what is left without it.
TEST(error_test, without_the_kind_a_prefixed_text_keeps_what_follows_its_prefix) {
  for (const Error& error :
       {Error::io_errno(ENOENT), Error::io_invalid_utf8(), Error::nifti("bad header"),
        Error::json("EOF"), Error::parse("a.bvec", "invalid number: abc"),
        Error::table_mismatch(64, 65), Error::volume_mismatch(64, 65), Error::mask_mismatch(10, 12),
        Error::dti_fit("no DWI volumes"), Error::no_usable_shell(), Error::amplitude_encoded("x"),
        Error::refuse_overwrite("out.bvec")}) {
    const std::string text = error.display();
    const std::string rest = error.without_kind();
    EXPECT_TRUE(rest == text || text.ends_with(": " + rest)) << text;
  }
  EXPECT_EQ(Error::io_errno(ENOSPC).without_kind(), "No space left on device (os error 28)");
  EXPECT_EQ(Error::no_usable_shell().without_kind(), Error::no_usable_shell().display());
  EXPECT_EQ(Error::json_from_io(Error::io_errno(ENOSPC)).display(),
            "JSON error: No space left on device (os error 28)");
}
