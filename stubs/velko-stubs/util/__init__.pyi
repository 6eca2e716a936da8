# Only velko.util.accession exists at run time; this file lets type checkers find it.
