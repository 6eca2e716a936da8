// velko_tools._core: the native half of velko_tools, one module over the shared core.
#include "util/input_stream.hpp"
#include "velko_tools/bindings.hpp"

NB_MODULE(_core, m) {
    m.doc() = "Native functions of velko_tools; use them through the velko_tools package.";
    velko::tools::register_failures();
    velko::tools::bind_sequences(m);
    velko::tools::bind_kmers(m);
    velko::tools::bind_sparse(m);
    velko::tools::bind_sketch(m);
    velko::tools::bind_hits(m);
    velko::tools::bind_files(m);
    velko::tools::bind_annotate(m);
    velko::tools::bind_text(m);
    velko::tools::bind_composition(m);
    // Which library reads gzip input and writes gzip output in this build: "isal" or "zlib"
    // (ISA-L's inflater and deflater come together, or neither).
    const std::string_view inflater = velko::util::codec_name(velko::util::default_codec());
    m.attr("GZIP_BACKEND") = nanobind::str(inflater.data(), inflater.size());
}
