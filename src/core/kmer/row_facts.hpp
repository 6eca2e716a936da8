// What a table of rows keeps of each file's rows besides the rows' values: one way to gather it,
// so that dense, sparse and composition tables name, number and place their rows alike.
#pragma once

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <vector>

namespace velko::kmer {

/// Appends `rows` rows of file `f` to `table`: the file index of each, then what `file` holds of
/// ids, k-mers counted and left out, sequence sizes and window places, moved out of `file`. A
/// field only one side has is left alone, so each table gathers what it keeps (a sketch keeps
/// no places: its rows are whole files or records).
template <class Table, class FileRows>
void append_row_facts(Table& table, FileRows& file, std::size_t rows, std::size_t f) {
    const auto append = [](auto& to, auto& from) {
        to.insert(to.end(), std::make_move_iterator(from.begin()),
                  std::make_move_iterator(from.end()));
        from = {};
    };
    table.files.insert(table.files.end(), rows, f);
    append(table.ids, file.ids);
    if constexpr (requires { table.windows, file.windows; }) append(table.windows, file.windows);
    if constexpr (requires { table.skipped, file.skipped; }) append(table.skipped, file.skipped);
    if constexpr (requires { table.sizes, file.sizes; }) append(table.sizes, file.sizes);
    if constexpr (requires { table.places, file.places; }) {
        append(table.places.starts, file.places.starts);
        append(table.places.ends, file.places.ends);
    }
}

}  // namespace velko::kmer
