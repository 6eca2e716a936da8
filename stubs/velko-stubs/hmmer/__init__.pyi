# Only velko.hmmer.tophit exists at run time; this file lets type checkers find it.
