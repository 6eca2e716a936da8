from typing import Final, final

__all__: Final = ["DnaSequence"]

@final
class DnaSequence:
    def __new__(cls, seq: str) -> DnaSequence: ...
    @property
    def seq(self) -> str: ...
    def rev_complement(self) -> DnaSequence: ...
