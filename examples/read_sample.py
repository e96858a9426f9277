"""Builds nothing; imports the module and shows what it registers. Later versions read the
bundled sample file."""
import _korvel

print("_korvel loaded from", _korvel.__file__)
print("registered:", _korvel.__all__)
