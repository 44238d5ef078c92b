_cur_dir: str
year: int
__author__: str
__copyright__: str
__email__: str
__license__: str
__title__: str
__version__: str
