"""Every entry point used once with its declared types; type-checked in strict mode."""

import velko  # noqa: F401
from velko.fasta import DnaSequence
from velko.hmmer.tophit import Hit, TopHitFile
from velko.kmer import (
    KmerCountResult,
    get_kmer_count_fasta,
    get_kmer_count_seq,
    get_kmer_to_idx,
    get_possible_kmers,
)
from velko.util.accession import canonical_gid


def use_everything(path: str, table_path: str) -> list[object]:
    dna: DnaSequence = DnaSequence("ACGT").rev_complement()
    seq: str = dna.seq
    kmers: list[str] = get_possible_kmers(2)
    index: dict[str, int] = get_kmer_to_idx(k=2)
    result: KmerCountResult = get_kmer_count_seq(seq, 2, use_rev_complement=True)
    counts: list[int] = result.counts
    total: int = result.total + result.k
    made = KmerCountResult(1, 0, (0, 0, 0, 0))
    per_record: dict[str, KmerCountResult] = get_kmer_count_fasta(path, 4, False)
    hit = Hit("g1", "PF1", 1e-5, 50)
    better: bool = hit < Hit("g1", "PF2", 1e-9, 70.0)
    text: str = hit.hmm_str() + repr(hit) + hit.gene_id + hit.hmm_id
    score: float = hit.e_val + hit.bit_score
    table = TopHitFile(table_path)
    table.add_hit("g1", "PF1", 1e-5, 50.0)
    present: bool = table.contains_gene_id("g1") and table.contains_gene_hmm("g1", "PF1")
    top: Hit | None = table.get_top_hit("g1")
    stored: Hit | None = table.get_hmm_hit("g1", "PF1")
    table.write()
    table.read()
    gid: str = canonical_gid("RS_GCF_000005845.2") + table.path
    return [
        kmers,
        index,
        counts,
        total,
        made,
        per_record,
        better,
        text,
        score,
        present,
        top,
        stored,
        gid,
    ]
