from enum import Enum

class Enginekind(Enum):
    SB = "SB"
    TD = "TD"
