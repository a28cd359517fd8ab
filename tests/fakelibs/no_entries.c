/* A shared library that carries the file name of a codec library or SDL but exports none of
   the entry points the loader binds. */
int orvane_fake_library_marker = 1;
