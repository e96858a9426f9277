TITLE 'korvel sample survey'.
DATA LIST LIST /id (F4.0) region (F2.0) age (F3.0) income (F8.2) visit (DATE11) name (A16) satisfaction (F1.0).
BEGIN DATA
1 1 34 52000.50 12-MAR-2024 "Ana Silva" 4
2 2 51 61000.00 02-JAN-2023 "Bjørn Berg" 5
3 1 29 38000.75 15-JUL-2024 "Chloé Martin" 3
4 3 62 . 30-SEP-2022 "Dmitri Ivanov" 9
5 2 45 47500.00 08-FEB-2024 "Eun-ji Park" 2
6 3 38 55250.25 21-NOV-2023 "Femi Adeyemi" 4
END DATA.
VARIABLE LABELS id 'Respondent ID' region 'Region of residence' age 'Age in years' income 'Annual income (EUR)' visit 'Date of last visit' name 'Respondent name' satisfaction 'Overall satisfaction'.
VALUE LABELS region 1 'North' 2 'Central' 3 'South' /satisfaction 1 'Very unhappy' 2 'Unhappy' 3 'Neutral' 4 'Happy' 5 'Very happy' 9 'No answer'.
MISSING VALUES satisfaction (9).
VARIABLE LEVEL region (NOMINAL) satisfaction (ORDINAL) age income (SCALE).
DOCUMENT Sample data set shipped with korvel; every value is invented.
SAVE OUTFILE='survey.sav' /COMPRESSED.
