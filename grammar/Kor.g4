grammar Kor;

// ---------------------------------------------------------------------------
// Parser rules. Their order fixes the rule indices, the order of the visitor
// and listener operations and the numbering of the implicit literal tokens.
// ---------------------------------------------------------------------------

program
    : ( function | defglobal | statement | declareStruct | CHINESE_SYMBOL )*
    ;

defglobal
    : GLOBAL '{' globalstate* '}' ';'?
    ;

globalstate
    : defvar
    | defstvar
    | assign
    | declareStruct
    ;

block
    : '{' statement* '}'
    ;

statement
    : defvar
    | defstvar
    | assign
    | hs_print
    | callFun
    | block
    | retCode
    | if
    | for
    | break
    | continue
    | signalState
    | pass
    ;

signalState
    : expr ';'
    ;

pass
    : 'pass;'
    ;

defvar
    : TYPE_ID ( assign | VARNAME ( ',' VARNAME )* ';' )
    ;

declareStruct
    : JIEGOU_SPACE VARNAME struct_body ';'?
    ;

defstvar
    : VARNAME onest ( ',' VARNAME? onest )* ';'
    ;

onest
    : assignStOne
    | VARNAME
    ;

assign
    : assginNoEnd ';'
    ;

assginNoEnd
    : assignOne ( ',' assignOne )*
    ;

assignOne
    : korvar assignOp rightvar      # AssignVar
    | assignStOne                   # AssignStructVar
    ;

rightvar
    : expr
    | list
    | map
    | stRightVar
    | EMPTY_VALUE
    ;

stRightVar
    : VARNAME '{' expr ( ',' expr )* '}'
    ;

assignStOne
    : VARNAME '=' ( '{' expr ( ',' expr )* '}' | stFromExpr )
    ;

stFromExpr
    : expr
    ;

assignOp
    : '='
    | '/='
    | '*/'
    | '+='
    | '-='
    ;

printFormatPart
    : '%' ( singleExpr | multiExpr )
    ;

singleExpr
    : expr
    ;

multiExpr
    : '(' expr ( ',' expr )* ')'
    ;

fmtString
    : format_string printFormatPart
    ;

hs_print
    : DA_YIN_KEY '(' fmtString ')' ';'                  # FormatPrintExpr
    | DA_YIN_KEY '(' expr ( ',' expr )* ')' ';'         # PrintExpr
    | DA_YIN_KEY '<<' expr ( '<<' expr )* ';'           # OutputExpr
    ;

korAutoAddSub
    : korvar AUTO_ADD_SUB
    ;

// The labels are written with a lower-case initial; the tool capitalises them
// in the class and operation names and, written so, lists the alternatives'
// operations in the visitor and listener in the order the rest of the system
// expects.
expr
    : '(' expr ')'                  # parenthesesExpr
    | korFlag                       # flagExpr
    | korAutoAddSub                 # assignAutoAdd
    | '-' atom                      # negationExpr
    | LOG_REV revVar                # logRevExpr
    | expr '*' expr                 # multExpr
    | expr '/' expr                 # divExpr
    | fmtString                     # fmtStrExpr
    | expr '%' expr                 # remainderExpr
    | expr '+' expr                 # addExpr
    | expr '-' expr                 # subExpr
    | expr '<' expr                 # lessExpr
    | expr '<=' expr                # lessEqualExpr
    | expr '>' expr                 # greaterExpr
    | expr '>=' expr                # greaterEqualExpr
    | expr '==' expr                # equalExpr
    | expr '!=' expr                # unequalExpr
    | expr LOG_AND expr             # logAndExpr
    | expr LOG_XOR expr             # logXorExpr
    | expr LOG_OR expr              # logOrExpr
    | expr NOT IN rightvar          # notinExpr
    | expr IN rightvar              # inExpr
    | NOT expr                      # notExpr
    | expr AND expr                 # andExpr
    | expr OR expr                  # orExpr
    | INT_VALUE                     # intExpr
    | FLOAT_VALUE                   # floatExpr
    | STRING_VALUE                  # strExpr
    | RAW_STRING_VALUE              # rowStrExpr
    | BOOL_VALUE                    # boolValueExpr
    | CHAR_VALUE                    # charValueExpr
    | korvar                        # varExpr
    | realCallFun                   # callFunExpr
    ;

list
    : '[' ( element ( ',' element )* )? ']'
    ;

element
    : expr
    | list
    | stRightVar
    ;

map
    : '{' ( mapelement ( ',' mapelement )* )? '}'
    ;

mapelement
    : mapkey FUN_RET_AUTO_DEF rightvar
    ;

mapkey
    : expr
    ;

atom
    : INT_VALUE
    | FLOAT_VALUE
    | korvar
    ;

revVar
    : korvar
    ;

korvar
    : VARNAME ( '[' listindex ']' )* ( '.' stMemVar )?
    ;

listMapVar
    : VARNAME ( '[' listindex ']' )* ( '.' stMemVar )?
    ;

listindex
    : expr
    ;

structMem
    : VARNAME '.' stMemVar
    ;

structMemVar
    : VARNAME '.' stMemVar
    ;

stMemVar
    : VARNAME
    ;

memberFunAccess
    : funobj '.' VARNAME
    ;

funobj
    : TYPE_ID
    | PACK_NAME
    | korvar
    ;

function
    : HANSHU VARNAME '(' defArgumentList? ')' defFunRet? block
    ;

defFunRet
    : '(' funretArg ( ',' funretArg )* ')'
    | '(' ')'
    ;

funretArg
    : TYPE_ID
    | VARNAME
    ;

retCode
    : FANHUI_KEY rightvar ( ',' rightvar )* ';'
    | FANHUI_KEY ';'
    ;

defArgumentList
    : defArgument ( ',' defArgument )*
    ;

defArgument
    : TYPE_ID VARNAME
    | HUIDIAO VARNAME
    | VARNAME VARNAME
    ;

format_string
    : STRING_VALUE
    ;

callFun
    : realCallFun ';'                   # NoRetCallFun
    | fun_ret realCallFun ';'           # WithRetCallFun
    | FANHUI_KEY realCallFun ';'        # ReturnCallFun
    ;

realCallFun
    : memberFunAccess '(' argumentList? ')' multiCallFun*
    | VARNAME '(' argumentList? ')' multiCallFun*
    ;

multiCallFun
    : '.' VARNAME '(' argumentList? ')'
    ;

fun_ret
    : ret_id ( ',' ret_id )* FUN_RET_AUTO_DEF? '='
    ;

ret_id
    : korvar
    | '_'
    ;

argumentList
    : argument ( ',' argument )*
    ;

argument
    : rightvar
    ;

if
    : IF_KEY expr statement zif* qt?
    ;

zif
    : ZIF_KEY expr statement
    ;

qt
    : QT_KEY statement
    ;

for
    : FOR_KEY '(' forinit expr ';' forinc? ')' statement                                       # ForState
    | 'while' expr statement                                                                   # WhileState
    | FOR_KEY forinvar ',' forinvar IN rightvar statement                                      # ForInState
    | FOR_KEY VARNAME ',' VARNAME ',' VARNAME IN 'wj.walk' '(' expr ( ',' expr )* ')' block    # Forwalk
    ;

forinvar
    : '_'
    | VARNAME
    ;

forinit
    : defvar
    | assign
    | ';'
    ;

forinc
    : korAutoAddSub
    | assginNoEnd
    | forinc ',' ( forinc )
    ;

break
    : ( 'tuichu' | 'break' ) ';'
    ;

continue
    : ( 'jixu' | 'continue' ) ';'
    ;

struct_body
    : '{' struct_var* '}'
    ;

struct_var
    : TYPE_ID VARNAME ';'
    ;

korFlag
    : KOR_STATIC_FLAG
    ;

unknown
    : .+
    ;

// ---------------------------------------------------------------------------
// Lexer rules. The order decides ties between rules of equal match length.
// ---------------------------------------------------------------------------

GLOBAL : 'quanju_dingyi' | 'global' ;
JIEGOU_SPACE : JIEGOU_KEY ' ' ;
JIEGOU_KEY : 'jiegou' | 'struct' ;
AUTO_ADD_SUB : '++' | '--' ;
EMPTY_VALUE : 'kong' ;
AND : '&&' | 'and' ;
OR : '||' | 'or' ;
NOT : '!' | 'not' ;
IN : 'in' ;
LOG_REV : '~' ;
LOG_AND : '&' ;
LOG_OR : '|' ;
LOG_XOR : '^' ;
DA_YIN_KEY : 'hs_dayin' | 'dy' | 'dyh' | 'print' | 'println' ;
HANSHU : 'hanshu' | 'func' ;
FANHUI_KEY : 'fanhui' | 'return' ;
HUIDIAO : 'hs' ;
FUN_RET_AUTO_DEF : ':' ;
IF_KEY : 'sf' | 'if' ;
ZIF_KEY : 'zsf' | 'elif' ;
QT_KEY : 'qt' | 'else' ;
FOR_KEY : 'xun' | 'for' ;
TYPE_ID : 'zs' | 'czs' | 'xs' | 'zfc' | 'zf' | 'bl' | 'wj' | 'sj' | 'lb' | 'zd' | 'excel' | 'string' | 'kzf' ;
BOOL_VALUE : 'zhen' | 'jia' | 'true' | 'false' ;
PACK_NAME : 'kor' | 'hux' ;
KOR_STATIC_FLAG
    : 'Kor::UTF16-LE' | 'Kor::UTF16-BE' | 'Kor::UTF-8' | 'Kor::UTF8' | 'Kor::GB18030'
    | 'Kor::GBK' | 'Kor::EUC-JP' | 'Kor::Shift-JIS' | 'Kor::EUC-KR' | 'Kor::KOI8-R'
    | 'Kor::TSCII' | 'Kor::TIS-620' | 'Kor::Big5' | 'Kor::IBM866' | 'Kor::line'
    | 'Kor::fun' | 'Kor::CaseSens' | 'Kor::NoCaseSens' | 'Kor::Base64Encode' | 'Kor::Base64UrlEncode'
    | 'Kor::KeepTrailingEquals' | 'Kor::OmitTrailingEquals' | 'Kor::IgnoreDecodeErrors' | 'Kor::AbortOnDecodeErrors' | 'Kor::AllDirs'
    | 'Kor::Files' | 'Kor::NoFilter' | 'Kor::NoSymLinks' | 'Kor::NoDotAndDotDot' | 'Kor::Readable'
    | 'Kor::Writable' | 'Kor::Executable' | 'Kor::Modified' | 'Kor::Hidden' | 'Kor::System'
    | 'Kor::BottomUp' | 'Kor::Name' | 'Kor::Time' | 'Kor::Size' | 'Kor::Type'
    | 'Kor::DirsFirst' | 'Kor::DirsLast' | 'Kor::IgnoreCase' | 'Kor::Reversed' | 'Reg::NoPattern'
    | 'Reg::CaseInsensitive' | 'Reg::DotMatchesEverything' | 'Reg::Multiline' | 'Reg::ExtendedPatternSyntax' | 'Reg::InvertedGreediness'
    | 'Reg::DontCapture' | 'Reg::UseUnicodeProperties'
    ;
U16STRING_FLAG : 'u16' ;
VARNAME : [A-Za-z_] [0-9A-Za-z_]* ;
INT_VALUE : ( '0x' | '0X' ) [0-9A-Fa-f]+ | '0' | [1-9] DIGIT* ;
FLOAT_VALUE : [1-9] DIGIT* '.' DIGIT* | '0' '.' DIGIT+ ;
CHAR_VALUE : '\'' '\\'? . '\'' ;
STRING_VALUE
    : U16STRING_FLAG? '"' ( ~[\b\n\r"\\] | '\\' . )* '"'
    | U16STRING_FLAG? '\'' ( ~[\b\n\r'\\] | '\\' . )* '\''
    ;
RAW_STRING_VALUE : 'R"(' .*? ')"' | 'r"' ~["]* '"' | 'r\'' ~[']* '\'' ;
WS : [ \t\r\n]+ -> channel(HIDDEN) ;
LINE_COMMENT : '//' ~[\r\n]* -> channel(HIDDEN) ;
COMMENT : '/*' .*? '*/' -> channel(HIDDEN) ;
CHINESE_SYMBOL : [\u3000-\u303F\uFF00-\uFFEF]+ ;
fragment ID : [0-9A-Za-z_]+ ;
STKEY : [0-9A-Z_]+ ;
DIGIT : [0-9] ;
