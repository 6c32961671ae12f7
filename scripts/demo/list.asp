<!DOCTYPE html>
<html lang="ko"><head><meta charset="utf-8"><title>공지사항</title>
<style>
body { margin: 0; font: 12px "NanumGothic", sans-serif; background: #10141f; color: #e8e2cf; }
h1 { margin: 0; padding: 6px 10px; font-size: 13px; background: linear-gradient(#3b2a12, #1d150a); color: #f3cf7a; border-bottom: 1px solid #7a5a22; }
ul { list-style: none; margin: 0; padding: 4px 10px; }
li { padding: 5px 0; border-bottom: 1px dotted #3a4257; }
li b { color: #f3cf7a; }
small { color: #8f98ad; }
</style></head>
<body>
<h1>Orvanta 온라인 공지사항</h1>
<ul>
<li><b>[패치]</b> 새 지역 '잿빛 협곡'이 열렸습니다. <small>12.07</small></li>
<li><b>[이벤트]</b> 겨울 축제 기간 경험치 2배! <small>12.05</small></li>
<li><b>[안내]</b> 정기 점검이 완료되었습니다. <small>12.03</small></li>
<li><b>[공지]</b> 계정 보안 강화 안내 <small>12.01</small></li>
</ul>
</body></html>
